#include "platform/signals.h"

#include "platform/wakeup.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <signal.h>

namespace {

volatile std::sig_atomic_t stop_flag = 0;
volatile std::sig_atomic_t reload_flag = 0;
// The loop's wake-up, once it has one; lock-free, so a handler may read it.
std::atomic<socket_handle> wakeup_socket{INVALID_SOCKET_HANDLE};
static_assert(std::atomic<socket_handle>::is_always_lock_free);

// The write may change errno under the code the signal interrupted.
void wake_the_loop()
{
    const socket_handle socket = wakeup_socket.load(std::memory_order_relaxed);
    if (socket == INVALID_SOCKET_HANDLE)
        return;
    const int saved = errno;
    wakeup_signal(socket);
    errno = saved;
}

void on_stop_signal(int)
{
    stop_flag = 1;
    wake_the_loop();
}

void on_reload_signal(int)
{
    reload_flag = 1;
    wake_the_loop();
}

// No SA_RESTART: a signal also ends a wait at once where the wake-up is not
// watched yet (the banner's pause).
void set_handler(int signal_number, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
}

} // namespace

// SIGXFSZ: a log past the file size limit must cost failed writes, counted
// as lost lines, not the process.
void install_signal_handlers()
{
    for (int stop : {SIGINT, SIGTERM, SIGQUIT})
        set_handler(stop, on_stop_signal);
    set_handler(SIGHUP, on_reload_signal);
    for (int ignored : {SIGUSR1, SIGUSR2, SIGPIPE, SIGXFSZ})
        set_handler(ignored, SIG_IGN);
}

bool stop_requested()
{
    return stop_flag != 0;
}

bool reload_requested()
{
    if (reload_flag == 0)
        return false;
    reload_flag = 0;
    return true;
}

void wake_on_signal(socket_handle wakeup)
{
    wakeup_socket.store(wakeup);
}
