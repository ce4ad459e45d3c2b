// Windows: a console handle cannot be waited on for whole lines, so a
// thread reads standard input and hands the bytes over under a lock.
#include <windows.h>

#include "platform/line_reader.h"

namespace {

CRITICAL_SECTION lock;
std::string pending;
bool input_ended = false;

DWORD WINAPI read_input(LPVOID)
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[4096];
    for (;;) {
        DWORD n = 0;
        BOOL ok = ReadFile(input, buffer, sizeof buffer, &n, nullptr);
        EnterCriticalSection(&lock);
        if (ok && n > 0)
            pending.append(buffer, n);
        else
            input_ended = true;
        bool done = input_ended;
        LeaveCriticalSection(&lock);
        if (done)
            return 0;
    }
}

} // namespace

void line_reader_start()
{
    InitializeCriticalSection(&lock);
    HANDLE thread = CreateThread(nullptr, 0, read_input, nullptr, 0, nullptr);
    if (thread)
        CloseHandle(thread);
    else
        input_ended = true;
}

int line_reader_next(std::string* line)
{
    EnterCriticalSection(&lock);
    int result = 1;
    std::size_t end = pending.find('\n');
    if (end == std::string::npos) {
        end = pending.size();
        if (!input_ended)
            result = 0;
        else if (pending.empty())
            result = -1;
    }
    if (result == 1) {
        *line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!line->empty() && line->back() == '\r')
            line->pop_back();
    }
    LeaveCriticalSection(&lock);
    return result;
}
