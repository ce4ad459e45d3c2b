// Internal to platform/: the system's socket headers, and the few names in
// which WinSock and POSIX sockets differ, for code both backends share.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

using native_socket = SOCKET;
using address_length = int;
constexpr native_socket NO_NATIVE_SOCKET = INVALID_SOCKET;

inline int close_native(native_socket sock)
{
    return ::closesocket(sock);
}

// A non-blocking connect that has started but not finished.
inline bool connect_in_progress()
{
    return WSAGetLastError() == WSAEWOULDBLOCK;
}
#else
#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

using native_socket = int;
using address_length = socklen_t;
constexpr native_socket NO_NATIVE_SOCKET = -1;

inline int close_native(native_socket sock)
{
    return ::close(sock);
}

inline bool connect_in_progress()
{
    return errno == EINPROGRESS;
}
#endif

#include "platform/platform.h"

#include <cstring>

// The peer's address and port from what accept filled in.
inline void store_peer(const sockaddr_storage& address, PeerAddress* peer)
{
    *peer = PeerAddress{};
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        std::memcpy(peer->octets, &v6.sin6_addr, 16);
        peer->port = ntohs(v6.sin6_port);
        peer->ipv6 = true;
        return;
    }
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    std::memcpy(peer->octets, &v4.sin_addr.s_addr, 4);
    peer->port = ntohs(v4.sin_port);
}

// Records the last socket call's error as a WSA code and returns -1.
int record_socket_error();
