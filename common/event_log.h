#pragma once

#include <ctime>
#include <string>
#include <string_view>

// The event log: every line is "hh:mm:ss dd/mm/yyyy <event>: <subject>",
// appended to a file and echoed on standard output.
struct EventLog {
    std::string path = "QuillmarshSrv.log.txt";
};

// One line; event and subject are written as they are, line breaks and all.
void log_event(EventLog& log, std::time_t now, std::string_view event, std::string_view subject);

// A block received from a client, under the event "from <peer>". The block
// is written up to its first zero byte.
void log_received(EventLog& log, std::time_t now, std::string_view event, std::string_view block);
