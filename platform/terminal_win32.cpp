#include <windows.h>

#include "platform/terminal.h"

#include <cstdio>

namespace {

HANDLE console_input;
DWORD saved_mode;

// Ctrl-C and closing the window run here on a thread of their own; the
// mode goes back before the default handler ends the process.
BOOL WINAPI restore_on_stop(DWORD)
{
    SetConsoleMode(console_input, saved_mode);
    return FALSE;
}

bool read_line(std::string* line)
{
    line->clear();
    for (;;) {
        char c = 0;
        DWORD n = 0;
        if (!ReadFile(console_input, &c, 1, &n, nullptr) || n == 0)
            return false;
        if (c == '\n')
            return true;
        *line += c;
    }
}

} // namespace

bool stdin_is_terminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool terminal_read_hidden_line(std::string* line)
{
    console_input = GetStdHandle(STD_INPUT_HANDLE);
    if (!GetConsoleMode(console_input, &saved_mode))
        return false;
    SetConsoleCtrlHandler(restore_on_stop, TRUE);
    if (!SetConsoleMode(console_input, saved_mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT))) {
        SetConsoleCtrlHandler(restore_on_stop, FALSE);
        return false;
    }
    bool got = read_line(line);
    bool restored = SetConsoleMode(console_input, saved_mode) != 0;
    SetConsoleCtrlHandler(restore_on_stop, FALSE);
    // The Enter key was not echoed either.
    std::fputs("\n", stderr);
    if (got && !line->empty() && line->back() == '\r')
        line->pop_back();
    return got && restored;
}
