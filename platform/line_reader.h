// Standard input, taken line by line without ever blocking the caller, so
// that a tool can watch a socket and the terminal at the same time.
#pragma once

#include <string>

// Starts reading; call once, before the first line_reader_next.
void line_reader_start();

// 1 with the next whole line in *line (its line end removed), 0 when no whole
// line has come yet, -1 once input has ended and every line was taken. A last
// line without a line end is handed out when input ends.
int line_reader_next(std::string* line);
