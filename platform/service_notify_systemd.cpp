#include "platform/service_notify.h"

#include <string>
#include <systemd/sd-daemon.h>

bool service_notify_built_in()
{
    return true;
}

bool service_notify(std::string_view state)
{
    // 0 without NOTIFY_SOCKET, negative on a failure.
    return sd_notify(0, std::string(state).c_str()) > 0;
}

std::uint64_t service_watchdog_usec()
{
    std::uint64_t usec = 0;
    // Also 0 when WATCHDOG_PID names another process (a parent's setting).
    if (sd_watchdog_enabled(0, &usec) <= 0)
        return 0;
    return usec;
}
