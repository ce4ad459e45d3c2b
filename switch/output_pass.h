#pragma once

#include "switch/server.h"

#include <cstdint>

// The most queued bytes one send call is offered. More than a loopback
// socket's buffer usually takes, so one call a turn keeps up with any reader;
// small enough that one receiver with a deep backlog does not hold the turn
// while the kernel copies a megabyte.
constexpr std::uint32_t SEND_CHUNK = 65536;
// A receiver whose socket refuses this many turns in a row (would block, no
// buffers) is still waited for; one more refusal closes it.
constexpr std::int32_t TOLERATED_SEND_FAILURES = 101;

// Gives every session one send call of its output queue, which holds its
// frames back to back; what the socket does not take waits for the next turn.
void output_pass(Server& server);
