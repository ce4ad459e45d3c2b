#pragma once

#include "net/session.h"

#include <cstdint>

constexpr std::uint32_t LOGIN_LINE_MAX = 255;

// Takes one line, up to its line feed, off queue into destination (room for
// limit + 1 bytes). A longer line is cut: limit bytes are kept and byte
// limit + 1 is consumed. One carriage return before the line feed is
// dropped. Returns the stored length plus 1, or 0 when no line is waiting.
std::uint32_t read_line(ByteQueue* queue, char* destination, std::uint32_t limit);

// ST_LOGIN: keep the login line and ask for the password.
void login_step(Session* session);

// ST_PASSWORD: compare both lines with the command line's. Returns the
// session the walk goes on with: the next one, also after a refusal closed
// this one.
Session* password_step(Session* session, char* work_buffer);
