#include "platform/service_notify.h"

bool service_notify_built_in()
{
    return false;
}

bool service_notify(std::string_view)
{
    return false;
}

std::uint64_t service_watchdog_usec()
{
    return 0;
}
