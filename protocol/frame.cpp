#include "protocol/frame.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

unsigned char frame_check_byte(std::string_view payload)
{
    unsigned char sum = 0;
    for (char c : payload)
        sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(c));
    return static_cast<unsigned char>(sum | 0x80);
}

std::string make_frame(std::string_view payload)
{
    std::string frame(payload);
    frame.push_back(static_cast<char>(frame_check_byte(payload)));
    return frame;
}

namespace {

constexpr std::uint64_t ONES = 0x0101010101010101u;
constexpr std::uint64_t HIGH_BITS = 0x8080808080808080u;
// A word's first byte in memory is its lowest: where a byte lies follows
// from its bit.
constexpr bool LITTLE_ENDIAN_WORDS = std::endian::native == std::endian::little;
constexpr std::uint64_t LOW_BYTES = 0x00ff00ff00ff00ffu;

// The word's bytes added in pairs: four 16-bit lanes.
std::uint64_t byte_pair_lanes(std::uint64_t word)
{
    return (word & LOW_BYTES) + ((word >> 8) & LOW_BYTES);
}

std::uint64_t lanes_total(std::uint64_t lanes)
{
    return (lanes & 0xffff) + ((lanes >> 16) & 0xffff) + ((lanes >> 32) & 0xffff) + (lanes >> 48);
}

// The high bit of each zero byte's place set (and maybe of bytes after it).
std::uint64_t zero_byte_bits(std::uint64_t word)
{
    return (word - ONES) & ~word;
}

} // namespace

// Every byte of a busy relay passes through here: eight bytes are tested for
// a high bit at once, which took the search from a fifth of the server's
// time under a burst to a few percent; the word that holds one says where.
std::size_t frame_length(std::string_view bytes, std::size_t searched)
{
    std::size_t at = std::min(searched, bytes.size());
    for (; at + 8 <= bytes.size(); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + at, 8);
        const std::uint64_t high = word & HIGH_BITS;
        if (high == 0)
            continue;
        if (LITTLE_ENDIAN_WORDS)
            return at + static_cast<std::size_t>(std::countr_zero(high)) / 8 + 1;
        break;
    }
    for (; at < bytes.size(); at++)
        if (is_check_byte(bytes[at]))
            return at + 1;
    return 0;
}

// One pass over the payload, eight bytes at a time, for the zero bytes, the
// check bytes and the sum: every relayed frame is validated, and a byte at a
// time this was a fifth of the server's instructions under a burst. The sum
// is kept in four 16-bit lanes of byte pairs, added up once per 128 words,
// before a lane could overflow.
bool frame_is_valid(std::string_view frame)
{
    if (frame.empty())
        return false;
    std::string_view payload = frame.substr(0, frame.size() - 1);
    constexpr std::size_t WORDS_PER_FOLD = 128; // 128 * (255 + 255) < 65536
    std::uint64_t any_bits = 0;
    std::uint64_t any_zero = 0;
    std::uint64_t sum = 0;
    std::size_t at = 0;
    while (at + 8 <= payload.size()) {
        std::uint64_t lanes = 0;
        const std::size_t fold_end = std::min(payload.size(), at + 8 * WORDS_PER_FOLD);
        for (; at + 8 <= fold_end; at += 8) {
            std::uint64_t word;
            std::memcpy(&word, payload.data() + at, 8);
            any_bits |= word;
            any_zero |= zero_byte_bits(word);
            lanes += byte_pair_lanes(word);
        }
        sum += lanes_total(lanes);
    }
    // The last one to seven bytes: the word that ends with them, its bytes
    // already counted shifted out, and the bytes shifted in made ones for
    // the zero test.
    const std::size_t rest = payload.size() - at;
    if (rest > 0 && payload.size() >= 8 && LITTLE_ENDIAN_WORDS) {
        std::uint64_t word;
        std::memcpy(&word, payload.data() + payload.size() - 8, 8);
        word >>= 8 * (8 - rest);
        any_bits |= word;
        any_zero |= zero_byte_bits(word | (ONES << (8 * rest)));
        sum += lanes_total(byte_pair_lanes(word));
        at = payload.size();
    }
    for (; at < payload.size(); at++) {
        const auto byte = static_cast<unsigned char>(payload[at]);
        any_bits |= byte;
        any_zero |= byte == 0 ? HIGH_BITS : 0;
        sum += byte;
    }
    return (any_bits & HIGH_BITS) == 0 && (any_zero & HIGH_BITS) == 0 &&
           static_cast<unsigned char>(frame.back()) == static_cast<unsigned char>((sum & 0x7f) | 0x80);
}

std::vector<std::string_view> split_frames(std::string_view stream)
{
    std::vector<std::string_view> frames;
    while (std::size_t n = frame_length(stream)) {
        frames.push_back(stream.substr(0, n));
        stream.remove_prefix(n);
    }
    return frames;
}
