// What ends the loop's wait from outside it: a worker thread with an answer
// (a name looked up, a password checked) or a signal handler. A socket the
// loop's poller watches for reads, which anyone may make readable: an
// eventfd on Linux; on Windows, where select waits on sockets only, a
// loopback UDP socket that sends itself a byte.
#pragma once

#include "platform/platform.h"

struct Wakeup {
    socket_handle socket = INVALID_SOCKET_HANDLE;
};

// Opens it non-blocking; false, with the reason as the last socket error,
// when the system has no descriptor to spare.
bool wakeup_open(Wakeup& wakeup);
// Makes the socket readable until the next drain. Safe from any thread, and
// on POSIX from a signal handler (it only calls write). Wake-ups before the
// drain are taken as one. Nothing for INVALID_SOCKET_HANDLE (no loop to
// wake).
void wakeup_signal(socket_handle socket);
// Takes every wake-up so far, so the socket is quiet again.
void wakeup_drain(const Wakeup& wakeup);
void wakeup_close(Wakeup& wakeup);
