// The client calls that read the same on WinSock and POSIX sockets.
#include "platform/client.h"
#include "platform/socket_api.h"

namespace {

bool resolve(const char* host, in_addr* address)
{
    if (inet_pton(AF_INET, host, address) == 1)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found)
        return false;
    *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

native_socket native(socket_handle sock)
{
    return static_cast<native_socket>(sock);
}

socket_handle fail_and_close(native_socket sock)
{
    record_socket_error();
    if (sock != NO_NATIVE_SOCKET)
        close_native(sock);
    return INVALID_SOCKET_HANDLE;
}

// Binds the local address alone: a port chosen at bind time comes from the
// range that free ports are taken from, where it could take the port a
// server is about to listen on. Linux can leave the port to connect.
int bind_source(native_socket sock, const sockaddr_in& local)
{
#ifdef IP_BIND_ADDRESS_NO_PORT
    int on = 1;
    setsockopt(sock, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, reinterpret_cast<const char*>(&on), sizeof on);
#endif
    return ::bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local);
}

// A connection to host and port, from the local address source unless it
// is null; without wait the socket is non-blocking and the connection may
// still be on its way.
socket_handle connect_to(const char* source, const char* host, std::uint16_t port, bool wait)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (!resolve(host, &address.sin_addr) || (source && !resolve(source, &local.sin_addr))) {
        sock_set_last_error(WSAEHOSTUNREACH);
        return INVALID_SOCKET_HANDLE;
    }
    native_socket sock = ::socket(AF_INET, SOCK_STREAM, 0);
    if (sock == NO_NATIVE_SOCKET)
        return fail_and_close(sock);
    if (source && bind_source(sock, local) != 0)
        return fail_and_close(sock);
    auto handle = static_cast<socket_handle>(sock);
    if (!wait && client_set_nonblocking(handle) < 0)
        return fail_and_close(sock);
    if (::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        (wait || !connect_in_progress()))
        return fail_and_close(sock);
    // Frames are small and each is written at once: never hold one back.
    int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return handle;
}

} // namespace

socket_handle client_connect(const char* host, std::uint16_t port)
{
    return connect_to(nullptr, host, port, true);
}

socket_handle client_connect_from(const char* source, const char* host, std::uint16_t port)
{
    return connect_to(source, host, port, true);
}

socket_handle client_connect_start(const char* host, std::uint16_t port)
{
    return connect_to(nullptr, host, port, false);
}

socket_handle client_listen_loopback(std::uint16_t* port)
{
    native_socket sock = ::socket(AF_INET, SOCK_STREAM, 0);
    if (sock == NO_NATIVE_SOCKET)
        return fail_and_close(sock);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address_length length = sizeof address;
    if (::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(sock, 16) != 0 ||
        getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return fail_and_close(sock);
    *port = ntohs(address.sin_port);
    return static_cast<socket_handle>(sock);
}

std::uint16_t client_free_port()
{
    std::uint16_t port = 0;
    socket_handle sock = client_listen_loopback(&port);
    if (sock == INVALID_SOCKET_HANDLE)
        return 0;
    client_close(sock);
    return port;
}

int client_abort(socket_handle sock)
{
    linger hard{1, 0};
    setsockopt(native(sock), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard),
               sizeof hard);
    return client_close(sock);
}

int client_set_receive_buffer(socket_handle sock, int bytes)
{
    return setsockopt(native(sock), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                      sizeof bytes) != 0
               ? record_socket_error()
               : 0;
}
