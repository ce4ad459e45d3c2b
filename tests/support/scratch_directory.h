// A fresh working directory for one test, where the event log lands.
#pragma once

#include <filesystem>
#include <string>

class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::filesystem::path& path() const { return dir; }
    // The whole content of a file in the directory, or "" when missing.
    std::string read(const std::string& name) const;
    // Writes bytes as a file in the directory; returns its full path.
    std::string write(const std::string& name, const std::string& bytes) const;
    // Makes the directory the process's working directory until destruction.
    void enter();

private:
    std::filesystem::path dir;
    std::filesystem::path previous;
};
