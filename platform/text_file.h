// Small files read whole and replaced whole: the users and rights files,
// and qmpasswd's edits. Symbolic links are refused, not followed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum class TextFileStatus { read, missing, failed };

// Reads the regular file at path into *content. On failure *error holds the
// system's reason.
TextFileStatus text_file_read(const char* path, std::string* content, std::string* error);

// Replaces the file at path by content, or creates it readable and writable
// by its owner only (mode 0600 on POSIX). Writes a new file beside it, under
// a name no other writer uses, and renames it over the old, so a crash leaves the old file or the new one,
// never part of either. On POSIX an existing file's mode and (where allowed)
// owner are kept. On failure *error holds the system's reason and the old
// file is as it was.
bool text_file_replace(const char* path, std::string_view content, std::string* error);

// Held while one program edits the file at path: an exclusive lock on
// PATH.lock beside it, a file of its own that is never renamed or removed,
// so every editor locks the same file whatever replaced PATH meanwhile.
struct TextFileLock {
    std::intptr_t handle = -1;
};

// Waits until the lock is free and takes it, creating PATH.lock (readable
// and writable by its owner only) when it does not exist. On failure
// *error holds the system's reason.
bool text_file_lock(const char* path, TextFileLock* lock, std::string* error);
// Lets the next editor in.
void text_file_unlock(TextFileLock* lock);

// When the file at path was last changed, as a number that changes with it
// (its modification time, in the system's own unit); 0 when it cannot be
// had. The link itself is looked at, never followed.
long long text_file_stamp(const char* path);

// Whether an operator asks for a reload with a signal (SIGHUP). Where there
// is none (Windows), the server watches the stamps of its files instead.
bool reload_asked_by_signal();
