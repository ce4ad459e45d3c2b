// The event log: time-stamped lines gathered during a turn and written to
// standard output once per turn, and to the log file, kept open, once per
// turn or, while the caller holds them, in one larger write.
//
// Neither may hold the loop or lose a line without a word. Standard output
// takes what it can without waiting; the lines it cannot take are skipped,
// and once it takes lines again one line says how many
// ("srv: N console lines skipped since <time>"). Lines the file cannot take
// (a full disk, a refused path, no memory for the line) are counted, and
// once it takes lines again one line says how many
// ("srv: N log lines lost since <time>").
#pragma once

#include "platform/log_file.h"

#include <cstddef>
#include <cstdint>
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
    std::string lines;           // the lines not yet written, reused from turn to turn
    std::size_t echoed = 0;      // how much of lines standard output was offered
    std::time_t stamp_second = -1;
    std::string stamp;           // "hh:mm:ss dd/mm/yyyy " of stamp_second
    std::time_t file_checked_at = -1;
    bool file_trouble_said = false;
    std::size_t file_lost = 0;         // lines since file_lost_since
    std::time_t file_lost_since = -1;
    ConsoleOutput console;             // opened at the first echo
    std::string console_line_rest;     // of a line the console took in part
    std::size_t console_skipped = 0;   // lines since console_skipped_since
    // Since the start, for the operator's metrics: lines added, and lines
    // left off standard output.
    std::uint64_t lines_total = 0;
    std::uint64_t console_skipped_total = 0;
    std::time_t console_skipped_since = -1;
    // The writes, replaced by tests to fake a full disk or a console that
    // nobody reads.
    bool (*write_file)(log_file_handle file, std::string_view bytes, std::size_t* kept) = log_file_write;
    long (*write_console)(const ConsoleOutput& console, std::string_view bytes) = console_write;
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
// Client bytes to stand inside a line of the server's own (a login name):
// every control byte, TAB, CR and LF included, written as \xNN.
std::string log_safe_text(std::string_view text);
// Writes the turn's lines: once to the file, once to standard output. The
// file is opened at the first flush with lines, and at most once per second
// checked (reopened when renamed or removed) or, after a failure, retried.
void log_flush(EventLog& log, std::time_t now);
// Offers standard output the lines it has not been offered yet, and keeps
// them all for the file's next write. A console reader that keeps up with
// each turn's lines then gets every one, even while the file waits for a
// larger write.
void log_echo(EventLog& log, std::time_t now);
// Flushes, and lets the file go: the next flush opens the path afresh.
void log_reopen(EventLog& log, std::time_t now);
// Flushes and closes; calling it again does nothing.
void log_close(EventLog& log);
