#include "shell/event_log.h"

#include "platform/platform.h"

#include <cstdio>
#include <ctime>
#include <string>

namespace {

constexpr const char* LINE_FORMAT = "%02d:%02d:%02d %02d/%02d/%04d %s: %s\n";

// Builds the whole line once, so the file and the console get the same bytes
// from one reading of the clock, each in a single write.
int format_line(char* buffer, std::size_t size, const std::tm& t, const char* event,
                const char* subject)
{
    return std::snprintf(buffer, size, LINE_FORMAT, t.tm_hour, t.tm_min, t.tm_sec, t.tm_mday,
                         t.tm_mon + 1, t.tm_year + 1900, event, subject);
}

void write_line(const char* line, std::size_t length)
{
    // Opened per event, so a log file removed under a running server comes
    // back with the next event. A file that cannot be opened is skipped.
    if (std::FILE* file = std::fopen(LOG_FILE_NAME, LOG_FILE_MODE)) {
        // The line is whole already: unbuffered, it goes out in one write,
        // and the library does not ask the file system for a buffer size.
        std::setvbuf(file, nullptr, _IONBF, 0);
        std::fwrite(line, 1, length, file);
        std::fclose(file);
    }
    // Flushed per line so that a pipe or a service manager sees each event
    // as it happens.
    std::fwrite(line, 1, length, stdout);
    std::fflush(stdout);
}

} // namespace

void log_event(int level, const char* event, const char* subject)
{
    if (level > LOG_MAX_LEVEL)
        return;
    std::tm t{};
    local_time(platform.now(), &t);
    char line[1024];
    int length = format_line(line, sizeof line, t, event, subject);
    if (length < 0)
        return;
    if (static_cast<std::size_t>(length) < sizeof line) {
        write_line(line, static_cast<std::size_t>(length));
        return;
    }
    std::string long_line(static_cast<std::size_t>(length) + 1, '\0');
    format_line(long_line.data(), long_line.size(), t, event, subject);
    write_line(long_line.data(), static_cast<std::size_t>(length));
}
