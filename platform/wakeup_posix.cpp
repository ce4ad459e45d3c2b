#include "platform/wakeup.h"

#include "platform/socket_api.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

bool wakeup_open(Wakeup& wakeup)
{
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        record_socket_error();
        return false;
    }
    wakeup.socket = static_cast<socket_handle>(fd);
    return true;
}

// The counter saturates long before it could overflow; a write refused then
// still leaves the descriptor readable, which is all a wake-up needs.
void wakeup_signal(socket_handle socket)
{
    if (socket == INVALID_SOCKET_HANDLE)
        return;
    const std::uint64_t one = 1;
    (void)!write(static_cast<int>(socket), &one, sizeof one);
}

// One read takes every wake-up counted so far.
void wakeup_drain(const Wakeup& wakeup)
{
    std::uint64_t count;
    (void)!read(static_cast<int>(wakeup.socket), &count, sizeof count);
}

void wakeup_close(Wakeup& wakeup)
{
    if (wakeup.socket != INVALID_SOCKET_HANDLE)
        close(static_cast<int>(wakeup.socket));
    wakeup.socket = INVALID_SOCKET_HANDLE;
}
