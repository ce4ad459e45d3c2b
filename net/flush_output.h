#pragma once

#include <cstdint>

constexpr std::uint32_t SEND_CHUNK = 4095;     // most queued bytes one send step looks at
constexpr std::int32_t SEND_FAILURE_LIMIT = 100; // failures that may precede a tolerated one

// Sends as much of every session's output queue as its socket takes without
// blocking. Records in the queue are frames closed by a zero byte; the zero
// bytes are never sent, so a receiver gets its frames back to back.
void flush_output();
