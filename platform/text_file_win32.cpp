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
    std::string temporary = std::string(path) + ".new";
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
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
