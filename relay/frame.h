#pragma once

#include "net/session.h"

#include <cstdint>
#include <string_view>

// A frame is 7-bit payload closed by one check byte: 0x80 OR the low bits of
// the payload's byte sum. The first byte with its high bit set ends it.

// The check byte that closes payload (the same rule the server checks).
unsigned char frame_check_byte(std::string_view payload);

// 1 when text, zero-terminated, is exactly one valid frame.
int frame_checksum_ok(const char* text);

// Takes the next frame off queue into buffer (room for limit + 1 bytes) and
// zero-terminates it. Returns the frame's length plus 1, or 0 when no whole
// frame waits or when the bytes taken were invalid and dropped. A frame of
// limit bytes or more is taken, and dropped, limit bytes at a time.
std::uint32_t read_frame(ByteQueue* queue, char* buffer, std::uint32_t limit);
