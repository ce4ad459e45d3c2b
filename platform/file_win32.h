// Internal to platform/: what the Windows file writers share.
#pragma once

#include <windows.h>

#include <string_view>

// Writes every byte or fails.
inline bool write_all(HANDLE file, std::string_view bytes)
{
    while (!bytes.empty()) {
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written == 0)
            return false;
        bytes.remove_prefix(written);
    }
    return true;
}
