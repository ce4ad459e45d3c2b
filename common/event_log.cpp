#include "common/event_log.h"

#include "platform/platform.h"

#include <cstdio>
#include <string>

namespace {

// Builds the whole line once, so the file and the console get the same bytes
// from one reading of the clock, each in a single write.
std::string format_line(std::time_t now, std::string_view event, std::string_view subject)
{
    std::tm t{};
    local_time(now, &t);
    char stamp[80];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d %02d/%02d/%04d ", t.tm_hour, t.tm_min,
                  t.tm_sec, t.tm_mday, t.tm_mon + 1, t.tm_year + 1900);
    std::string line(stamp);
    line.append(event).append(": ").append(subject).push_back('\n');
    return line;
}

void write_line(const std::string& path, const std::string& line)
{
    // Opened per event, so a log file removed under a running server comes
    // back with the next event. A file that cannot be opened is skipped.
    if (std::FILE* file = std::fopen(path.c_str(), LOG_FILE_MODE)) {
        // The line is whole already: unbuffered, it goes out in one write,
        // and the library does not ask the file system for a buffer size.
        std::setvbuf(file, nullptr, _IONBF, 0);
        std::fwrite(line.data(), 1, line.size(), file);
        std::fclose(file);
    }
    // Flushed per line so that a pipe or a service manager sees each event
    // as it happens.
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

} // namespace

void log_event(EventLog& log, std::time_t now, std::string_view event, std::string_view subject)
{
    write_line(log.path, format_line(now, event, subject));
}

void log_received(EventLog& log, std::time_t now, std::string_view event, std::string_view block)
{
    log_event(log, now, event, block.substr(0, block.find('\0')));
}
