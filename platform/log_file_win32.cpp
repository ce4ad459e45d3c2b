#include <windows.h>

#include "platform/file_win32.h"
#include "platform/log_file.h"

#include <cstdio>
#include <string>

namespace {

HANDLE handle_of(log_file_handle file)
{
    return reinterpret_cast<HANDLE>(file);
}

// Shared for delete and rename as well, so an operator can rotate the log
// while the server holds it open.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The log and the console have always been written in text mode; their
// readers expect CRLF.
std::string_view with_crlf(std::string_view bytes)
{
    static std::string text;
    text.clear();
    for (char c : bytes) {
        if (c == '\n')
            text += '\r';
        text += c;
    }
    return text;
}

// How many of bytes, counted before CRLF, stand in the first written bytes
// of with_crlf(bytes), up to the last whole line.
std::size_t whole_lines_in(std::string_view bytes, std::size_t written)
{
    std::size_t whole = 0;
    std::size_t stored = 0;
    for (std::size_t i = 0; i < bytes.size(); i++) {
        stored += bytes[i] == '\n' ? 2 : 1;
        if (stored > written)
            break;
        if (bytes[i] == '\n')
            whole = i + 1;
    }
    return whole;
}

bool same_file(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION info_a{};
    BY_HANDLE_FILE_INFORMATION info_b{};
    return GetFileInformationByHandle(a, &info_a) && GetFileInformationByHandle(b, &info_b) &&
           info_a.dwVolumeSerialNumber == info_b.dwVolumeSerialNumber &&
           info_a.nFileIndexHigh == info_b.nFileIndexHigh &&
           info_a.nFileIndexLow == info_b.nFileIndexLow;
}

// A file removed while open lingers, still reachable by its name on some
// systems, until its last handle closes: it is gone all the same.
bool delete_pending(HANDLE file)
{
    FILE_STANDARD_INFO info{};
    return GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info) && info.DeletePending;
}

// Refuses what the POSIX build refuses where Windows can tell: a link of
// any kind (a symbolic link or junction is opened as itself, never followed)
// and a file with a second hard link. Owners are a matter of ACLs there and
// are not looked at.
LogOpenStatus refusal_of(HANDLE file)
{
    if (GetFileType(file) != FILE_TYPE_DISK)
        return LogOpenStatus::not_a_regular_file;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info))
        return LogOpenStatus::failed;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return LogOpenStatus::symbolic_link;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return LogOpenStatus::not_a_regular_file;
    if (info.nNumberOfLinks > 1)
        return LogOpenStatus::several_links;
    return LogOpenStatus::opened;
}

} // namespace

LogOpenResult log_file_open(const char* path)
{
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {LogOpenStatus::failed, NO_LOG_FILE};
    const LogOpenStatus status = refusal_of(file);
    if (status != LogOpenStatus::opened) {
        CloseHandle(file);
        return {status, NO_LOG_FILE};
    }
    return {LogOpenStatus::opened, reinterpret_cast<log_file_handle>(file)};
}

// A handle opened for appending only cannot cut a torn line off again; it is
// left in the file and counted as lost.
bool log_file_write(log_file_handle file, std::string_view bytes, std::size_t* kept)
{
    const std::string_view stored = with_crlf(bytes);
    std::size_t written = 0;
    while (written < stored.size()) {
        DWORD count = 0;
        if (!WriteFile(handle_of(file), stored.data() + written, static_cast<DWORD>(stored.size() - written),
                       &count, nullptr) ||
            count == 0) {
            *kept = whole_lines_in(bytes, written);
            return false;
        }
        written += count;
    }
    *kept = bytes.size();
    return true;
}

bool log_file_is_at(log_file_handle file, const char* path)
{
    if (delete_pending(handle_of(file)))
        return false;
    HANDLE at_path = CreateFileA(path, FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (at_path == INVALID_HANDLE_VALUE)
        return false;
    bool same = same_file(handle_of(file), at_path);
    CloseHandle(at_path);
    return same;
}

void log_file_close(log_file_handle file)
{
    CloseHandle(handle_of(file));
}

std::string log_file_error_text()
{
    DWORD code = GetLastError();
    char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  code, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.'))
        length--;
    if (length == 0)
        return "error " + std::to_string(code);
    return std::string(text, length);
}

// Windows has no write to a console or an anonymous pipe that returns at
// once when the reader is not reading (a pipe's non-blocking mode is a
// legacy of LAN Manager, set on the handle the parent shares): here the echo
// still waits for its reader, as it always has.
ConsoleOutput console_open()
{
    return {reinterpret_cast<log_file_handle>(GetStdHandle(STD_OUTPUT_HANDLE)), false, false};
}

long console_write(const ConsoleOutput& console, std::string_view bytes)
{
    // Not through the C library: its stdout, when not a console, can pass
    // a long block to the system a byte at a time. The banner and usage do
    // go through it, so they are flushed first.
    std::fflush(stdout);
    if (!write_all(handle_of(console.handle), with_crlf(bytes)))
        return -1;
    return static_cast<long>(bytes.size());
}

void console_close(ConsoleOutput& console)
{
    console = ConsoleOutput{};
}
