#include "protocol/login_line.h"

#include <algorithm>

LineCut cut_login_line(std::string_view bytes, std::size_t limit, std::size_t searched)
{
    std::size_t line_feed = bytes.find('\n', searched);
    if (line_feed == std::string_view::npos)
        return {};
    std::size_t kept = std::min(line_feed, limit);
    std::string_view text = bytes.substr(0, kept);
    // The byte taken in place of the line feed never counts, so a cut line
    // loses its carriage return only when it sits right before the cut.
    if (!text.empty() && text.back() == '\r')
        text.remove_suffix(1);
    return {kept + 1, text};
}
