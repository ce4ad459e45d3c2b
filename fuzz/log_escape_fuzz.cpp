// log_received on arbitrary blocks and masks. The first two input bytes pick
// the mask, the rest is the block. What the writer would write is taken from
// its turn buffer before any flush, so nothing reaches the disk. The entry
// must begin with the writer's own time stamp; every line break in it must be
// followed by the continuation mark or end the entry; no control byte other
// than TAB, CR and LF may remain; a mask that covers bytes must show.
#include "common/event_log.h"
#include "fuzz/fuzz_support.h"
#include "platform/platform.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace {

constexpr std::time_t NOW = 1700000000;

std::string expected_start()
{
    std::tm t{};
    local_time(NOW, &t);
    char text[64];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d %02d/%02d/%04d from peer: ", t.tm_hour, t.tm_min,
                  t.tm_sec, t.tm_mday, t.tm_mon + 1, t.tm_year + 1900);
    return text;
}

bool is_allowed(unsigned char c)
{
    return (c >= 0x20 && c != 0x7f) || c == '\t' || c == '\r' || c == '\n';
}

void check_entry(std::string_view entry)
{
    static const std::string start = expected_start();
    fuzz_require(entry.starts_with(start), "the entry does not begin with the writer's time stamp");
    fuzz_require(entry.ends_with('\n'), "the entry does not end with a line feed");
    for (unsigned char c : entry)
        fuzz_require(is_allowed(c), "a control byte reached the log");
    for (std::size_t i = 0; i < entry.size(); i++) {
        if (entry[i] != '\n' && entry[i] != '\r')
            continue;
        if (entry[i] == '\r' && i + 1 < entry.size() && entry[i + 1] == '\n')
            i++;
        std::string_view rest = entry.substr(i + 1);
        fuzz_require(rest.empty() || rest == "\n" || rest.starts_with(LOG_CONTINUATION_MARK),
                     "a line in the entry starts without the continuation mark");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::string_view block(reinterpret_cast<const char*>(data) + 2, size - 2);
    const std::size_t mask_begin = data[0] % (block.size() + 1);
    const std::size_t mask_end = data[1] % (block.size() + 2);

    static EventLog log;
    log.lines.clear();
    log_received(log, NOW, "from peer", block, mask_begin, mask_end);
    check_entry(log.lines);
    if (mask_begin < mask_end && mask_begin < block.size())
        fuzz_require(log.lines.find(LOG_MASK) != std::string::npos, "a masked range was not shown");
    return 0;
}
