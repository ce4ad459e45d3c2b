#pragma once

#include "switch/receive.h"
#include "switch/server.h"

#include <cstdint>
#include <ctime>

constexpr std::time_t IDLE_TIMEOUT = 60;  // seconds of silence before "timeout"
constexpr std::int64_t IDLE_TIMEOUT_MS = IDLE_TIMEOUT * 1000;
// How often the wait looks again while something cannot wake it: a name
// look-up under way, or output that a socket did not take.
constexpr long WAIT_TIMEOUT_US = 500;
// The longest sleep without a deadline: it bounds how late a signal that
// lands just before the wait is noticed.
constexpr long LONGEST_SLEEP_US = 1000000;

// The wait sleeps until the next deadline or event, and not at all while
// some session already holds a whole line or frame. The build option
// QM_FIXED_WAIT makes it wait WAIT_TIMEOUT_US every time instead, as the
// server once did, so that the benchmark can compare the two.
#ifdef QM_FIXED_WAIT
constexpr bool FIXED_WAIT = true;
#else
constexpr bool FIXED_WAIT = false;
#endif

// The loop's only wait: greets the clients whose names have come, closes at
// most one idle session, waits for socket events, accepts at most one
// client per listener, reads every readable session and closes the sessions
// that failed, hung up, overflowed or are broken; answers the scrapes.
void wait_pass(Server& server);
