#include "platform/wakeup.h"

#include "platform/socket_api.h"

namespace {

// Bound to a free loopback port and connected to itself, so that what it
// sends comes back to it and nothing from elsewhere is taken.
bool connect_to_itself(SOCKET sock)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    u_long on = 1;
    return ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
           ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
           ::connect(sock, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
           ::ioctlsocket(sock, FIONBIO, &on) == 0;
}

} // namespace

bool wakeup_open(Wakeup& wakeup)
{
    SOCKET sock = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (sock == INVALID_SOCKET) {
        record_socket_error();
        return false;
    }
    if (!connect_to_itself(sock)) {
        record_socket_error();
        ::closesocket(sock);
        return false;
    }
    wakeup.socket = static_cast<socket_handle>(sock);
    return true;
}

// A full buffer refuses the byte, and is readable already.
void wakeup_signal(socket_handle socket)
{
    if (socket == INVALID_SOCKET_HANDLE)
        return;
    const char byte = 1;
    ::send(static_cast<SOCKET>(socket), &byte, 1, 0);
}

// Costs a call per wake-up since the last drain; wake-ups come from a few
// workers and signals, a handful a turn at most.
void wakeup_drain(const Wakeup& wakeup)
{
    char bytes[64];
    while (::recv(static_cast<SOCKET>(wakeup.socket), bytes, sizeof bytes, 0) > 0) {
    }
}

void wakeup_close(Wakeup& wakeup)
{
    if (wakeup.socket != INVALID_SOCKET_HANDLE)
        ::closesocket(static_cast<SOCKET>(wakeup.socket));
    wakeup.socket = INVALID_SOCKET_HANDLE;
}
