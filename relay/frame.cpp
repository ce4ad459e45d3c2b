#include "relay/frame.h"

#include <algorithm>

namespace {

bool high_bit(char c)
{
    return (static_cast<unsigned char>(c) & 0x80) != 0;
}

} // namespace

unsigned char frame_check_byte(std::string_view payload)
{
    unsigned char sum = 0;
    for (char c : payload)
        sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(c));
    return static_cast<unsigned char>(sum | 0x80);
}

int frame_checksum_ok(const char* text)
{
    unsigned char sum = 0;
    const char* p = text;
    while (*p != '\0' && !high_bit(*p))
        sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(*p++));
    // A stop at the terminator fails the first test, so p[1] is never read
    // past the text.
    return static_cast<unsigned char>(*p) == (sum | 0x80) && p[1] == '\0';
}

std::uint32_t read_frame(ByteQueue* queue, char* buffer, std::uint32_t limit)
{
    if (!queue->block)
        return 0;
    const char* begin = queue->block;
    const char* end = begin + queue->length;
    const char* check = std::find_if(begin, end, high_bit);
    if (check == end)
        return 0;
    auto n = std::min(static_cast<std::uint32_t>(check - begin) + 1, limit);
    if (queue_take(queue, buffer, n, false) == 0)
        return 0;
    buffer[n] = '\0';
    return frame_checksum_ok(buffer) ? n + 1 : 0;
}
