#include <windows.h>

#include "platform/signals.h"
#include "platform/wakeup.h"

#include <atomic>

namespace {

std::atomic<bool> stop_flag{false};
std::atomic<socket_handle> wakeup_socket{INVALID_SOCKET_HANDLE};

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI on_console_event(DWORD event)
{
    stop_flag = true;
    const socket_handle socket = wakeup_socket.load();
    if (socket != INVALID_SOCKET_HANDLE)
        wakeup_signal(socket);
    // Returning from a close event ends the process at once: give the main
    // loop time to flush the log and exit on its own.
    if (event == CTRL_CLOSE_EVENT)
        Sleep(2000);
    return TRUE;
}

} // namespace

// There is no SIGHUP, SIGUSR1 or SIGUSR2: only the console's stop events.
void install_signal_handlers()
{
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool stop_requested()
{
    return stop_flag;
}

bool reload_requested()
{
    return false;
}

void wake_on_signal(socket_handle wakeup)
{
    wakeup_socket.store(wakeup);
}
