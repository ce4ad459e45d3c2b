#pragma once

#include "switch/server.h"

#include <cstdint>

constexpr std::uint32_t SEND_CHUNK = 4095; // most queued bytes one send call is offered
// A receiver whose socket refuses this many sends in a row (would block, no
// buffers) is still waited for; one more refusal closes it.
constexpr std::int32_t TOLERATED_SEND_FAILURES = 101;

// Sends as much of every session's output queue as its socket takes without
// blocking. Records in the queue are frames closed by a zero byte; the zero
// bytes are never sent, so a receiver gets its frames back to back.
void output_pass(Server& server);
