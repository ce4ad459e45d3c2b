#pragma once

// Levels: 0 the server as a whole, 1 errors, 2 the life of a session,
// 3 received data. Anything above LOG_MAX_LEVEL is dropped.
constexpr int LOG_MAX_LEVEL = 10;
constexpr const char* LOG_FILE_NAME = "QuillmarshSrv.log.txt";

// Appends one time-stamped line to the log file in the working directory and
// prints the same line on standard output. event and subject are written as
// they are, line breaks and all.
void log_event(int level, const char* event, const char* subject);
