#include "platform/log_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int fd_of(log_file_handle file)
{
    return static_cast<int>(file);
}

// Why open refused path, without following it: a FIFO without a reader
// refuses a non-blocking open (ENXIO), a directory any write open, and a
// symbolic link an open with O_NOFOLLOW.
LogOpenStatus refusal_of_path(const char* path)
{
    struct stat info {};
    if (lstat(path, &info) != 0)
        return LogOpenStatus::failed;
    if (S_ISLNK(info.st_mode))
        return LogOpenStatus::symbolic_link;
    return S_ISREG(info.st_mode) ? LogOpenStatus::failed : LogOpenStatus::not_a_regular_file;
}

// A second link or another owner means someone else chose where the lines
// land: run as root in a directory others can write, the log could be made
// to append to any file.
LogOpenStatus refusal_of_file(const struct stat& info)
{
    if (!S_ISREG(info.st_mode))
        return LogOpenStatus::not_a_regular_file;
    if (info.st_nlink > 1)
        return LogOpenStatus::several_links;
    if (info.st_uid != geteuid())
        return LogOpenStatus::other_owner;
    return LogOpenStatus::opened;
}

// A line written in part would have the next one glued to it: the bytes
// after the last line end written are cut off the file again. The log is
// the server's alone, so they are the file's last bytes.
std::size_t take_back_torn_line(int fd, std::string_view bytes, std::size_t written)
{
    const std::size_t last_end = bytes.substr(0, written).rfind('\n');
    const std::size_t whole = last_end == std::string_view::npos ? 0 : last_end + 1;
    const auto torn = static_cast<off_t>(written - whole);
    struct stat info {};
    if (torn > 0 && fstat(fd, &info) == 0 && info.st_size >= torn)
        (void)!ftruncate(fd, info.st_size - torn);
    return whole;
}

// A pipe or a terminal that nobody reads must not stop the loop, but
// O_NONBLOCK on standard output itself would change the open file
// description that the shell (or the rest of a pipeline) shares: a terminal
// left non-blocking breaks the shell after the server has gone. So the
// server opens the same pipe or terminal again through /proc, which gives it
// a description of its own to make non-blocking.
int open_own_description()
{
    return open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

// Where the server cannot have a description of its own (a socket, or no
// /proc), it asks before each write. A pipe that reports room has at least
// PIPE_BUF bytes free, and a write of at most that many takes them at once.
bool takes_bytes_now(int fd)
{
    pollfd out{fd, POLLOUT, 0};
    // Readiness for writing, an error or a hang-up: the write then tells.
    return poll(&out, 1, 0) > 0 && out.revents != 0;
}

} // namespace

LogOpenResult log_file_open(const char* path)
{
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        int open_error = errno;
        LogOpenStatus status = refusal_of_path(path);
        errno = open_error;
        return {status, NO_LOG_FILE};
    }
    struct stat info {};
    LogOpenStatus status = fstat(fd, &info) == 0 ? refusal_of_file(info) : LogOpenStatus::failed;
    if (status != LogOpenStatus::opened) {
        int error = errno;
        close(fd);
        errno = error;
        return {status, NO_LOG_FILE};
    }
    return {LogOpenStatus::opened, fd};
}

bool log_file_write(log_file_handle file, std::string_view bytes, std::size_t* kept)
{
    const int fd = fd_of(file);
    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int error = n < 0 ? errno : EIO;
            *kept = take_back_torn_line(fd, bytes, written);
            errno = error;
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    *kept = bytes.size();
    return true;
}

// lstat: a symbolic link planted at the path is not the open file, even when
// it points at it; the reopen then refuses it.
bool log_file_is_at(log_file_handle file, const char* path)
{
    struct stat open_info {};
    struct stat path_info {};
    return fstat(fd_of(file), &open_info) == 0 && lstat(path, &path_info) == 0 &&
           open_info.st_dev == path_info.st_dev && open_info.st_ino == path_info.st_ino;
}

void log_file_close(log_file_handle file)
{
    close(fd_of(file));
}

std::string log_file_error_text()
{
    return std::strerror(errno);
}

// A regular file or a device such as /dev/null never waits for a reader and
// is written as it is.
ConsoleOutput console_open()
{
    std::fflush(stdout);
    struct stat info {};
    if (fstat(STDOUT_FILENO, &info) != 0 || S_ISREG(info.st_mode) ||
        (S_ISCHR(info.st_mode) && !isatty(STDOUT_FILENO)))
        return {STDOUT_FILENO, false, false};
    if (S_ISFIFO(info.st_mode) || isatty(STDOUT_FILENO)) {
        int own = open_own_description();
        if (own >= 0)
            return {own, true, false};
    }
    return {STDOUT_FILENO, false, true};
}

long console_write(const ConsoleOutput& console, std::string_view bytes)
{
    // The banner and usage go through stdio; they must come out first.
    std::fflush(stdout);
    const int fd = fd_of(console.handle);
    std::size_t taken = 0;
    while (taken < bytes.size()) {
        if (console.polled && !takes_bytes_now(fd))
            break;
        std::size_t size = bytes.size() - taken;
        if (console.polled)
            size = std::min<std::size_t>(size, PIPE_BUF);
        ssize_t n = write(fd, bytes.data() + taken, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0)
            return taken > 0 ? static_cast<long>(taken) : -1;
        taken += static_cast<std::size_t>(n);
    }
    return static_cast<long>(taken);
}

void console_close(ConsoleOutput& console)
{
    if (console.owned)
        close(fd_of(console.handle));
    console = ConsoleOutput{};
}
