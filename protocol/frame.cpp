#include "protocol/frame.h"

#include <algorithm>

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

std::size_t frame_length(std::string_view bytes, std::size_t searched)
{
    auto check = std::find_if(bytes.begin() + static_cast<std::ptrdiff_t>(std::min(searched, bytes.size())),
                              bytes.end(), is_check_byte);
    return check == bytes.end() ? 0 : static_cast<std::size_t>(check - bytes.begin()) + 1;
}

bool frame_is_valid(std::string_view frame)
{
    if (frame.empty())
        return false;
    std::string_view payload = frame.substr(0, frame.size() - 1);
    return payload.find('\0') == std::string_view::npos &&
           std::none_of(payload.begin(), payload.end(), is_check_byte) &&
           static_cast<unsigned char>(frame.back()) == frame_check_byte(payload);
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
