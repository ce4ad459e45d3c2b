// The operating system's half of the event log: a file kept open for
// appending, and standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A POSIX descriptor or a Windows HANDLE.
using log_file_handle = std::intptr_t;
constexpr log_file_handle NO_LOG_FILE = -1;

enum class LogOpenStatus {
    opened,
    not_a_regular_file,
    symbolic_link,  // never followed: it may point anywhere the server can write
    several_links,  // a hard link to a file elsewhere
    other_owner,    // not the server's own file
    failed,
};

struct LogOpenResult {
    LogOpenStatus status;
    log_file_handle file;
};

// Opens path for appending, creating it readable by the owner only; an
// existing file keeps its mode. Never waits on a FIFO or a device, never
// follows a symbolic link at path, and takes only a regular file with one
// link that the server's user owns: anything else is closed again and
// reported as such.
LogOpenResult log_file_open(const char* path);
// Writes every byte or fails. On a failure *kept tells how many of bytes are
// in the file, always up to a line end: a line written in part is taken back
// where the system allows it. On Windows LF is stored as CRLF, as a
// text-mode file would.
bool log_file_write(log_file_handle file, std::string_view bytes, std::size_t* kept);
// False when path is missing or names another file than the open one: the
// log was renamed or removed under the server.
bool log_file_is_at(log_file_handle file, const char* path);
void log_file_close(log_file_handle file);
// The reason for the last failed call above, as the system words it.
std::string log_file_error_text();

// Standard output as the echo writes it: never waiting for a reader.
struct ConsoleOutput {
    log_file_handle handle = NO_LOG_FILE;
    bool owned = false;  // a description of the server's own, closed again
    bool polled = false; // asked whether it takes bytes before each write
};
// Makes standard output ready for writes that never wait.
ConsoleOutput console_open();
// Writes what standard output takes now, without waiting: the count of
// bytes taken (0 when it takes none now), or -1 when it failed for good.
// Never raises a signal.
long console_write(const ConsoleOutput& console, std::string_view bytes);
void console_close(ConsoleOutput& console);
