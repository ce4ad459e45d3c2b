// Windows: a reparse point (symbolic link or junction) is opened as itself
// and refused. The file's access is left to the directory's inherited ACL.
#include <windows.h>

#include "platform/file_win32.h"
#include "platform/text_file.h"

namespace {

bool failed(std::string* error)
{
    DWORD code = GetLastError();
    char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  code, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.'))
        length--;
    *error = length == 0 ? "error " + std::to_string(code) : std::string(text, length);
    return false;
}

bool is_plain_file(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

// A new file beside path that no other writer uses: named after this
// process, and never one that exists.
HANDLE create_temporary_beside(const char* path, std::string* name)
{
    const std::string stem = std::string(path) + "." + std::to_string(GetCurrentProcessId());
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; attempt++) {
        *name = stem + "." + std::to_string(attempt) + ".new";
        file = CreateFileA(name->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    return file;
}

} // namespace

TextFileStatus text_file_read(const char* path, std::string* content, std::string* error)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        failed(error);
        bool missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
        return missing ? TextFileStatus::missing : TextFileStatus::failed;
    }
    if (!is_plain_file(file)) {
        *error = "not a regular file";
        CloseHandle(file);
        return TextFileStatus::failed;
    }
    content->clear();
    char buffer[65536];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
            failed(error);
            CloseHandle(file);
            return TextFileStatus::failed;
        }
        if (n == 0)
            break;
        content->append(buffer, n);
    }
    CloseHandle(file);
    return TextFileStatus::read;
}

bool text_file_replace(const char* path, std::string_view content, std::string* error)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        *error = "not a regular file";
        return false;
    }
    std::string temporary;
    HANDLE file = create_temporary_beside(path, &temporary);
    if (file == INVALID_HANDLE_VALUE)
        return failed(error);
    bool written = (write_all(file, content) && FlushFileBuffers(file)) || failed(error);
    CloseHandle(file);
    if (!written || !MoveFileExA(temporary.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        if (written)
            failed(error);
        DeleteFileA(temporary.c_str());
        return false;
    }
    return true;
}

bool text_file_lock(const char* path, TextFileLock* lock, std::string* error)
{
    std::string lock_path = std::string(path) + ".lock";
    HANDLE file = CreateFileA(lock_path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        failed(error);
        *error = lock_path + ": " + *error;
        return false;
    }
    if (!is_plain_file(file)) {
        *error = lock_path + ": not a regular file";
        CloseHandle(file);
        return false;
    }
    OVERLAPPED whole{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        failed(error);
        *error = lock_path + ": " + *error;
        CloseHandle(file);
        return false;
    }
    lock->handle = reinterpret_cast<std::intptr_t>(file);
    return true;
}

void text_file_unlock(TextFileLock* lock)
{
    if (lock->handle == -1)
        return;
    // Closing the handle lets the lock go.
    CloseHandle(reinterpret_cast<HANDLE>(lock->handle));
    lock->handle = -1;
}

long long text_file_stamp(const char* path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return 0;
    return static_cast<long long>((static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                  data.ftLastWriteTime.dwLowDateTime);
}

bool reload_asked_by_signal()
{
    return false;
}
