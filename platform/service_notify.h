// Telling a service manager (systemd) how the server stands. Built on
// libsystemd where it was found at build time; elsewhere, and on Windows,
// every call does nothing.
#pragma once

#include <cstdint>
#include <string_view>

// false when this build cannot tell a service manager anything.
bool service_notify_built_in();

// Sends state, one or more "NAME=value" lines ("READY=1", "STOPPING=1",
// "STATUS=...", "WATCHDOG=1"), when the manager asked for them (the
// environment names NOTIFY_SOCKET). true when it was sent. One datagram on
// a local socket that the manager drains.
bool service_notify(std::string_view state);

// The watchdog interval the manager expects "WATCHDOG=1" within, in
// microseconds, or 0 when it keeps no watchdog on this process. Send it
// every half interval.
std::uint64_t service_watchdog_usec();
