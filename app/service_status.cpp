#include "app/service_status.h"

#include "platform/service_notify.h"

#include <algorithm>
#include <cstdio>

namespace {

// Costs a walk of the sessions, once per status line.
std::size_t online_sessions(const Server& server)
{
    std::size_t online = 0;
    for (const Session* s = server.sessions.first; s; s = s->next)
        online += s->state == SessionState::online;
    return online;
}

void schedule(ServiceStatus& status, std::int64_t now_ms)
{
    status.next_ms = now_ms + status.interval_ms;
}

} // namespace

void service_ready(ServiceStatus& status, Server& server)
{
    status.enabled = service_notify("READY=1");
    if (!status.enabled)
        return;
    // The manager restarts a server silent for the whole interval: send
    // twice within it.
    const std::uint64_t watchdog_usec = service_watchdog_usec();
    status.watchdog = watchdog_usec > 0;
    if (status.watchdog)
        status.interval_ms = std::clamp<std::int64_t>(static_cast<std::int64_t>(watchdog_usec / 2000), 1,
                                                      SERVICE_STATUS_INTERVAL_MS);
    const std::int64_t now_ms = platform.monotonic_ms();
    status.before_ms = now_ms;
    status.frames_before = server.metrics.frames_received;
    schedule(status, now_ms);
}

void service_tick(ServiceStatus& status, Server& server)
{
    if (!status.enabled)
        return;
    const std::int64_t now_ms = platform.monotonic_ms();
    if (now_ms < status.next_ms)
        return;
    const std::int64_t elapsed_ms = std::max<std::int64_t>(now_ms - status.before_ms, 1);
    const std::uint64_t frames = server.metrics.frames_received - status.frames_before;
    const auto per_second = static_cast<unsigned long long>(frames * 1000 / static_cast<std::uint64_t>(elapsed_ms));
    char text[128];
    std::snprintf(text, sizeof text, "%sSTATUS=%zu online, %llu frames/s", status.watchdog ? "WATCHDOG=1\n" : "",
                  online_sessions(server), per_second);
    service_notify(text);
    status.before_ms = now_ms;
    status.frames_before = server.metrics.frames_received;
    schedule(status, now_ms);
}

std::int64_t service_due_ms(const ServiceStatus& status)
{
    return status.enabled ? status.next_ms : 0;
}

void service_stopping(const ServiceStatus& status)
{
    if (status.enabled)
        service_notify("STOPPING=1");
}
