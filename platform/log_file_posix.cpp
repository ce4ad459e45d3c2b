#include "platform/log_file.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stop_flag = 0;

void on_stop_signal(int)
{
    stop_flag = 1;
}

int fd_of(log_file_handle file)
{
    return static_cast<int>(file);
}

// A FIFO without a reader refuses a non-blocking open (ENXIO) and a
// directory refuses any write open; both are the same mistake to the operator.
bool names_other_than_regular_file(const char* path)
{
    struct stat info {};
    return stat(path, &info) == 0 && !S_ISREG(info.st_mode);
}

bool write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace

LogOpenResult log_file_open(const char* path)
{
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        int open_error = errno;
        bool other = names_other_than_regular_file(path);
        errno = open_error;
        return {other ? LogOpenStatus::not_a_regular_file : LogOpenStatus::failed, NO_LOG_FILE};
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return {LogOpenStatus::not_a_regular_file, NO_LOG_FILE};
    }
    return {LogOpenStatus::opened, fd};
}

bool log_file_write(log_file_handle file, std::string_view bytes)
{
    return write_all(fd_of(file), bytes);
}

bool log_file_is_at(log_file_handle file, const char* path)
{
    struct stat open_info {};
    struct stat path_info {};
    return fstat(fd_of(file), &open_info) == 0 && stat(path, &path_info) == 0 &&
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

bool stdout_write(std::string_view bytes)
{
    // The banner and usage go through stdio; they must come out first.
    std::fflush(stdout);
    return write_all(STDOUT_FILENO, bytes);
}

void ignore_broken_pipe()
{
    std::signal(SIGPIPE, SIG_IGN);
}

void install_stop_handler()
{
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool stop_requested()
{
    return stop_flag != 0;
}
