#pragma once

#include <cstddef>
#include <string_view>

// The login dialogue's lines: the login and the password, each ended by a
// line feed, with one carriage return before it allowed.

constexpr std::size_t LOGIN_LINE_MAX = 255;

struct LineCut {
    std::size_t consumed;  // bytes the line takes off the input; 0: no whole line yet
    std::string_view text; // the line as kept, without its line end
};

// The first line of bytes. A line longer than limit keeps its first limit
// bytes and loses byte limit + 1; the rest of it is read as the next line.
// The first `searched` bytes are known to hold no line feed and are not
// looked at again.
LineCut cut_login_line(std::string_view bytes, std::size_t limit, std::size_t searched = 0);
