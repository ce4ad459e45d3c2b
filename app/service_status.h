// What the service manager hears from the running server: readiness, a
// status line every few seconds, the watchdog's keep-alive, and the stop.
// Nothing at all when the manager did not ask (no NOTIFY_SOCKET) or this
// build cannot tell it (no libsystemd, Windows).
#pragma once

#include "switch/server.h"

#include <cstdint>

// How often the status line is sent when no watchdog asks for more often.
constexpr std::int64_t SERVICE_STATUS_INTERVAL_MS = 5000;

struct ServiceStatus {
    bool enabled = false; // the manager took READY=1
    bool watchdog = false;
    std::int64_t interval_ms = SERVICE_STATUS_INTERVAL_MS;
    std::int64_t next_ms = 0;
    // For the frame rate since the last status line.
    std::uint64_t frames_before = 0;
    std::int64_t before_ms = 0;
};

// Says READY=1 (the listeners are open) and, when the manager took it,
// schedules the status line and the watchdog.
void service_ready(ServiceStatus& status, Server& server);

// When the next status line is due, for the loop to wake by; 0 for none.
std::int64_t service_due_ms(const ServiceStatus& status);

// Once per turn: sends the status line (and WATCHDOG=1) when it is due.
void service_tick(ServiceStatus& status, Server& server);

// Says STOPPING=1.
void service_stopping(const ServiceStatus& status);
