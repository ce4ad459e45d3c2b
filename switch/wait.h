#pragma once

#include "switch/receive.h"
#include "switch/server.h"

#include <cstdint>
#include <ctime>

constexpr std::time_t IDLE_TIMEOUT = 60;  // seconds of silence before "timeout"
constexpr std::int64_t IDLE_TIMEOUT_MS = IDLE_TIMEOUT * 1000;
// What the wait gives the poller when the build fixes it (QM_FIXED_WAIT).
constexpr long WAIT_TIMEOUT_US = 500;

// The wait sleeps until the next deadline or event, and not at all while
// some session already holds a whole line or frame. The build option
// QM_FIXED_WAIT makes it wait WAIT_TIMEOUT_US every time instead, as the
// server once did, so that the benchmark can compare the two.
#ifdef QM_FIXED_WAIT
constexpr bool FIXED_WAIT = true;
#else
constexpr bool FIXED_WAIT = false;
#endif

// The last moment the session may stay silent; past it, it is closed.
std::int64_t idle_deadline_ms(const Session& session);

// The loop's only wait: greets the clients whose names have come, closes at
// most one idle session, waits for socket events, accepts at most one
// client per listener, reads the readable sessions and closes the sessions
// that failed, hung up, overflowed or are broken; answers the scrapes.
void wait_pass(Server& server);

// What the wait reported for a session's socket, noted for the sessions'
// turn after the wait.
void take_session_event(Server& server, Watcher& watcher, const SocketEvent& event);
// The wake-up: a worker's answer or a signal; taken at the next turn's
// start, or by the loop's caller.
void take_wakeup_event(Server& server, Watcher& watcher, const SocketEvent& event);
