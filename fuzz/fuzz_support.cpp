#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

void fuzz_require(bool holds, const char* what)
{
    if (holds)
        return;
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

std::size_t FuzzRandom::piece(std::size_t max)
{
    std::uint32_t r = next();
    std::size_t size = (r & 3) == 0 ? (r >> 2) % max : (r >> 2) % 8;
    return size + 1 > max ? max : size + 1;
}

namespace {

std::string scratch;

void remove_scratch()
{
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
}

} // namespace

void quiet_event_log()
{
    if (!scratch.empty())
        return;
    scratch = (std::filesystem::temp_directory_path() / "quillmarsh-fuzz-XXXXXX").string();
    if (!mkdtemp(scratch.data()) || chdir(scratch.c_str()) != 0)
        return;
    std::atexit(remove_scratch);
    std::filesystem::create_directory("QuillmarshSrv.log.txt");
    if (!std::freopen("/dev/null", "w", stdout))
        return;
}
