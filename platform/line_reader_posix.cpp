// POSIX: standard input is a descriptor that poll can watch, so no thread.
#include "platform/line_reader.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace {

std::string pending;
bool input_ended = false;

void read_what_is_there()
{
    pollfd entry{0, POLLIN, 0};
    if (::poll(&entry, 1, 0) <= 0)
        return;
    char buffer[4096];
    ssize_t n = ::read(0, buffer, sizeof buffer);
    if (n > 0)
        pending.append(buffer, static_cast<std::size_t>(n));
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        input_ended = true;
}

} // namespace

void line_reader_start() {}

int line_reader_next(std::string* line)
{
    if (pending.find('\n') == std::string::npos && !input_ended)
        read_what_is_there();
    std::size_t end = pending.find('\n');
    if (end == std::string::npos) {
        if (!input_ended)
            return 0;
        if (pending.empty())
            return -1;
        end = pending.size();
    }
    *line = pending.substr(0, end);
    pending.erase(0, end + 1);
    if (!line->empty() && line->back() == '\r')
        line->pop_back();
    return 1;
}
