#include "platform/text_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

bool failed(std::string* error)
{
    *error = std::strerror(errno);
    return false;
}

// The directory of path, for its fsync after the rename.
std::string directory_of(const char* path)
{
    std::string name = path;
    std::size_t slash = name.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : name.substr(0, slash);
}

// The new file takes the old one's owner and mode, so an edit by root does
// not shut out the service account that reads it.
bool take_over_attributes(int fd, const char* path, std::string* error)
{
    struct stat old {};
    if (lstat(path, &old) != 0)
        return errno == ENOENT || failed(error);
    if (!S_ISREG(old.st_mode)) {
        *error = "not a regular file";
        return false;
    }
    // Only root may give a file away; anyone else keeps it as their own.
    if (fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM)
        return failed(error);
    return fchmod(fd, old.st_mode & 07777) == 0 || failed(error);
}

} // namespace

TextFileStatus text_file_read(const char* path, std::string* content, std::string* error)
{
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int open_error = errno;
        *error = open_error == ELOOP ? "it is a symbolic link" : std::strerror(open_error);
        return open_error == ENOENT ? TextFileStatus::missing : TextFileStatus::failed;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = "not a regular file";
        close(fd);
        return TextFileStatus::failed;
    }
    content->clear();
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            failed(error);
            close(fd);
            return TextFileStatus::failed;
        }
        if (n == 0)
            break;
        content->append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return TextFileStatus::read;
}

bool text_file_replace(const char* path, std::string_view content, std::string* error)
{
    std::string temporary = std::string(path) + ".XXXXXX";
    int fd = mkostemp(temporary.data(), O_CLOEXEC); // mode 0600
    if (fd < 0)
        return failed(error);
    bool written = take_over_attributes(fd, path, error) &&
                   ((write_all(fd, content) && fsync(fd) == 0) || failed(error));
    if (close(fd) != 0 && written)
        written = failed(error);
    if (!written || rename(temporary.c_str(), path) != 0) {
        if (written)
            failed(error);
        unlink(temporary.c_str());
        return false;
    }
    // The rename itself reaches the disk with its directory.
    int directory = open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    return true;
}

bool text_file_lock(const char* path, TextFileLock* lock, std::string* error)
{
    std::string lock_path = std::string(path) + ".lock";
    int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = lock_path + ": " + (errno == ELOOP ? "it is a symbolic link" : std::strerror(errno));
        return false;
    }
    int locked;
    while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
        *error = lock_path + ": " + std::strerror(errno);
        close(fd);
        return false;
    }
    lock->handle = fd;
    return true;
}

void text_file_unlock(TextFileLock* lock)
{
    if (lock->handle < 0)
        return;
    // Closing the descriptor lets the lock go.
    close(static_cast<int>(lock->handle));
    lock->handle = -1;
}

long long text_file_stamp(const char* path)
{
    struct stat status {};
    if (lstat(path, &status) != 0)
        return 0;
    return static_cast<long long>(status.st_mtim.tv_sec) * 1000000000LL + status.st_mtim.tv_nsec;
}

bool reload_asked_by_signal()
{
    return true;
}
