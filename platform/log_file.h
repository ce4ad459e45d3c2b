// The operating system's half of the event log: a file kept open for
// appending, standard output, and the console's stop request.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// A POSIX descriptor or a Windows HANDLE.
using log_file_handle = std::intptr_t;
constexpr log_file_handle NO_LOG_FILE = -1;

enum class LogOpenStatus { opened, not_a_regular_file, failed };

struct LogOpenResult {
    LogOpenStatus status;
    log_file_handle file;
};

// Opens path for appending, creating it readable by the owner only; an
// existing file keeps its mode. Never waits on a FIFO or a device: anything
// other than a regular file is closed again and reported as such.
LogOpenResult log_file_open(const char* path);
// Writes every byte or fails. On Windows LF is stored as CRLF, as a text-mode
// file would.
bool log_file_write(log_file_handle file, std::string_view bytes);
// False when path is missing or names another file than the open one: the
// log was renamed or removed under the server.
bool log_file_is_at(log_file_handle file, const char* path);
void log_file_close(log_file_handle file);
// The reason for the last failed call above, as the system words it.
std::string log_file_error_text();

// Writes every byte to standard output or fails; never raises a signal.
bool stdout_write(std::string_view bytes);
// A reader that has gone must cost a failed write, not the process.
void ignore_broken_pipe();

// Ctrl-C, SIGINT and SIGTERM, or closing the console: the main loop polls
// stop_requested() once per turn, flushes the log and exits.
void install_stop_handler();
bool stop_requested();
