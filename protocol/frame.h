#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// A frame is 7-bit payload closed by one check byte: 0x80 OR the low bits of
// the payload's byte sum. The first byte with its high bit set ends it.

// The most bytes a frame may have, check byte included.
constexpr std::size_t FRAME_MAX = 4095;

constexpr bool is_check_byte(char c)
{
    return (static_cast<unsigned char>(c) & 0x80) != 0;
}

// The check byte that closes payload.
unsigned char frame_check_byte(std::string_view payload);

// payload followed by its check byte.
std::string make_frame(std::string_view payload);

// The length of the first frame in bytes, check byte included, or 0 when no
// check byte has arrived yet. The first `searched` bytes are known to hold
// none and are not looked at again.
std::size_t frame_length(std::string_view bytes, std::size_t searched = 0);

// true when frame is exactly one valid frame: payload free of zero bytes,
// closed by the right check byte.
bool frame_is_valid(std::string_view frame);

// The stream cut after every check byte; a tail without one is left out.
std::vector<std::string_view> split_frames(std::string_view stream);
