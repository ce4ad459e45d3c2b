// The event log: time-stamped lines gathered during a turn and written once
// per turn to the log file, kept open, and to standard output.
#pragma once

#include "platform/log_file.h"

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

// Begins every line that a received block carries on past a line break, so
// no client byte can stand at the start of a log line.
constexpr std::string_view LOG_CONTINUATION_MARK = "  ";
// Stands for the masked part of a received block, whatever its length.
constexpr std::string_view LOG_MASK = "********";

struct EventLog {
    std::string path = "QuillmarshSrv.log.txt";
    bool echo_to_stdout = true;
    log_file_handle file = NO_LOG_FILE;
    std::string lines;           // this turn's lines, reused from turn to turn
    std::time_t stamp_second = -1;
    std::string stamp;           // "hh:mm:ss dd/mm/yyyy " of stamp_second
    std::time_t file_checked_at = -1;
    bool file_trouble_said = false;
};

void log_init(EventLog& log, std::string path, bool echo_to_stdout);
// Adds "hh:mm:ss dd/mm/yyyy <event>: <subject>\n". Both are the server's own
// text and go in as they are, line breaks included.
void log_event(EventLog& log, std::time_t now, std::string_view event, std::string_view subject);
// The same line for a block a client sent: the whole block, zero bytes too,
// with every line break that more text follows continued by the mark; C0
// controls other than TAB, CR and LF, DEL and zero written as \xNN; bytes
// with the high bit as they are. The bytes in [mask_begin, mask_end) are
// written as LOG_MASK once.
void log_received(EventLog& log, std::time_t now, std::string_view event, std::string_view block,
                  std::size_t mask_begin = 0, std::size_t mask_end = 0);
// Writes the turn's lines: once to the file, once to standard output. The
// file is opened at the first flush with lines, and at most once per second
// checked (reopened when renamed or removed) or, after a failure, retried.
void log_flush(EventLog& log, std::time_t now);
// Flushes and closes; calling it again does nothing.
void log_close(EventLog& log);
