// Typing a secret at the terminal: standard input's echo turned off for the
// length of one line.
#pragma once

#include <string>

// True when standard input is a terminal (a console on Windows).
bool stdin_is_terminal();

// Reads one line typed at the terminal on standard input without showing
// it, its line end removed; false at end of input or on failure. The echo is
// back on when it returns, and also when a signal ends the process meanwhile.
bool terminal_read_hidden_line(std::string* line);
