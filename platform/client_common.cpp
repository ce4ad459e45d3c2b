// The client calls that read the same on WinSock and POSIX sockets.
#include "platform/client.h"
#include "platform/socket_api.h"

#include <string>

namespace {

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

// The addresses of host (a literal or a name, IPv4 or IPv6) and port, in
// the order the system prefers; nullptr with the resolver's reason.
addrinfo* resolve(const char* host, std::uint16_t port, int flags, std::string* problem)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | flags;
    addrinfo* found = nullptr;
    int result = getaddrinfo(host, std::to_string(port).c_str(), &hints, &found);
    if (result != 0 || !found) {
        *problem = result != 0 ? gai_strerror(result) : "no address";
        // Windows ends its sentence in a full stop and a space.
        while (!problem->empty() && (problem->back() == '.' || problem->back() == ' '))
            problem->pop_back();
        return nullptr;
    }
    return found;
}

// A connection to one address; without wait the socket is non-blocking and
// the connection may still be on its way.
socket_handle connect_one(const addrinfo& address, bool wait)
{
    native_socket sock = ::socket(address.ai_family, SOCK_STREAM, 0);
    if (sock == NO_NATIVE_SOCKET)
        return fail_and_close(sock);
    auto handle = static_cast<socket_handle>(sock);
    if (!wait && client_set_nonblocking(handle) < 0)
        return fail_and_close(sock);
    if (::connect(sock, address.ai_addr, static_cast<address_length>(address.ai_addrlen)) != 0 &&
        (wait || !connect_in_progress()))
        return fail_and_close(sock);
    // Frames are small and each is written at once: never hold one back.
    int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return handle;
}

// Tries host's addresses in turn; the error left is the last one's.
socket_handle connect_to(const char* host, std::uint16_t port, bool wait, std::string* resolve_problem)
{
    std::string problem;
    addrinfo* found = resolve(host, port, 0, &problem);
    if (!found) {
        if (resolve_problem)
            *resolve_problem = problem;
        sock_set_last_error(WSAEHOSTUNREACH);
        return INVALID_SOCKET_HANDLE;
    }
    socket_handle sock = INVALID_SOCKET_HANDLE;
    for (addrinfo* address = found; address && sock == INVALID_SOCKET_HANDLE; address = address->ai_next)
        sock = connect_one(*address, wait);
    freeaddrinfo(found);
    return sock;
}

} // namespace

socket_handle client_connect(const char* host, std::uint16_t port, std::string* resolve_problem)
{
    return connect_to(host, port, true, resolve_problem);
}

socket_handle client_connect_start(const char* host, std::uint16_t port)
{
    return connect_to(host, port, false, nullptr);
}

socket_handle client_listen_on(const char* address, std::uint16_t* port)
{
    std::string problem;
    addrinfo* found = resolve(address, 0, AI_NUMERICHOST | AI_PASSIVE, &problem);
    if (!found) {
        sock_set_last_error(WSAEINVAL);
        return INVALID_SOCKET_HANDLE;
    }
    native_socket sock = ::socket(found->ai_family, SOCK_STREAM, 0);
    sockaddr_storage bound{};
    address_length length = sizeof bound;
    bool listening = sock != NO_NATIVE_SOCKET &&
                     ::bind(sock, found->ai_addr, static_cast<address_length>(found->ai_addrlen)) == 0 &&
                     ::listen(sock, 16) == 0 &&
                     getsockname(sock, reinterpret_cast<sockaddr*>(&bound), &length) == 0;
    if (!listening) {
        fail_and_close(sock);
        freeaddrinfo(found);
        return INVALID_SOCKET_HANDLE;
    }
    freeaddrinfo(found);
    *port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return static_cast<socket_handle>(sock);
}

socket_handle client_listen_loopback(std::uint16_t* port)
{
    return client_listen_on("127.0.0.1", port);
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
