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

// Each send through a gathering transport (TLS) is a record that costs its
// reader a wake-up, a call and a decryption however short it is. After a
// pass that sent short records to at least GATHER_RECEIVERS receivers, as a
// broadcast among many clients does, the next short output is held for
// 1-2 ms (the clock counts whole milliseconds) and then goes at once for
// every receiver: each reader gets a record per gathering instead of one
// per frame. Output of a full record (GATHER_BYTES) is never held, and
// with fewer receivers, or after a quiet pass, frames go at once.
constexpr std::uint32_t GATHER_BYTES = 16384;
constexpr std::int64_t GATHER_MS = 2;
constexpr std::size_t GATHER_RECEIVERS = 32;

// Gives every session one send call of its output queue, which holds its
// frames back to back; what the socket does not take waits for the next turn.
void output_pass(Server& server);

// A session about to be closed while its output was held (for a flood or a
// gathering) gets the one send that the skipped pass owed it.
void send_held_output(Server& server, Session& session);

// At a stop nothing more comes: what a flood or a gathering held goes now,
// one send per session.
void flush_held_output(Server& server);
