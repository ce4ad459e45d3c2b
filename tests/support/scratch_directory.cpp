#include "tests/support/scratch_directory.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <unistd.h>

ScratchDirectory::ScratchDirectory()
{
    static std::atomic<int> serial{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    dir = std::filesystem::temp_directory_path() /
          ("quillmarsh-test-" + std::to_string(getpid()) + "-" + std::to_string(stamp) + "-" +
           std::to_string(serial++));
    std::filesystem::create_directories(dir);
}

ScratchDirectory::~ScratchDirectory()
{
    std::error_code ignored;
    if (!previous.empty())
        std::filesystem::current_path(previous, ignored);
    std::filesystem::remove_all(dir, ignored);
}

void ScratchDirectory::enter()
{
    previous = std::filesystem::current_path();
    std::filesystem::current_path(dir);
}

std::string ScratchDirectory::read(const std::string& name) const
{
    std::ifstream file(dir / name, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

std::string ScratchDirectory::write(const std::string& name, const std::string& bytes) const
{
    std::string file = (dir / name).string();
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
}
