#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/client.h"

#include <cstring>
#include <vector>

namespace {

SOCKET native(socket_handle sock)
{
    return static_cast<SOCKET>(sock);
}

int fail()
{
    sock_set_last_error(WSAGetLastError());
    return -1;
}

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

// A connection to host and port; without wait the socket is non-blocking
// and the connection may still be on its way.
socket_handle connect_to(const char* host, std::uint16_t port, bool wait)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (!resolve(host, &address.sin_addr)) {
        sock_set_last_error(WSAEHOSTUNREACH);
        return INVALID_SOCKET_HANDLE;
    }
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, 0);
    if (sock == INVALID_SOCKET) {
        fail();
        return INVALID_SOCKET_HANDLE;
    }
    auto handle = static_cast<socket_handle>(sock);
    if ((!wait && client_set_nonblocking(handle) < 0) ||
        (::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == SOCKET_ERROR &&
         (wait || WSAGetLastError() != WSAEWOULDBLOCK))) {
        fail();
        ::closesocket(sock);
        return INVALID_SOCKET_HANDLE;
    }
    BOOL on = TRUE;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return handle;
}

} // namespace

std::string client_error_text(int code)
{
    char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    // The system's sentence ends in a full stop and a line break.
    while (length > 0 && std::strchr(". \r\n", text[length - 1]))
        length--;
    if (length == 0)
        return "error " + std::to_string(code);
    return std::string(text, length);
}

int client_startup()
{
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data);
}

socket_handle client_connect(const char* host, std::uint16_t port)
{
    return connect_to(host, port, true);
}

int client_send_all(socket_handle sock, const void* data, std::size_t size)
{
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        int chunk = size > 65536 ? 65536 : static_cast<int>(size);
        int n = ::send(native(sock), p, chunk, 0);
        if (n == SOCKET_ERROR)
            return fail();
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int client_recv(socket_handle sock, void* buffer, std::size_t size, int timeout_ms)
{
    WSAPOLLFD entry{native(sock), POLLRDNORM, 0};
    int ready = ::WSAPoll(&entry, 1, timeout_ms);
    if (ready == SOCKET_ERROR)
        return fail();
    if (ready == 0)
        return CLIENT_TIMED_OUT;
    int chunk = size > 65536 ? 65536 : static_cast<int>(size);
    int n = ::recv(native(sock), static_cast<char*>(buffer), chunk, 0);
    return n == SOCKET_ERROR ? fail() : n;
}

int client_set_receive_buffer(socket_handle sock, int bytes)
{
    return setsockopt(native(sock), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                      sizeof bytes) == SOCKET_ERROR
               ? fail()
               : 0;
}

int client_shutdown_send(socket_handle sock)
{
    return ::shutdown(native(sock), SD_SEND) == SOCKET_ERROR ? fail() : 0;
}

int client_abort(socket_handle sock)
{
    linger hard{1, 0};
    setsockopt(native(sock), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard),
               sizeof hard);
    return client_close(sock);
}

int client_close(socket_handle sock)
{
    return ::closesocket(native(sock)) == SOCKET_ERROR ? fail() : 0;
}

socket_handle client_listen_loopback(std::uint16_t* port)
{
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, 0);
    if (sock == INVALID_SOCKET) {
        fail();
        return INVALID_SOCKET_HANDLE;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == SOCKET_ERROR ||
        ::listen(sock, 16) == SOCKET_ERROR ||
        getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) == SOCKET_ERROR) {
        fail();
        ::closesocket(sock);
        return INVALID_SOCKET_HANDLE;
    }
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

int client_set_nonblocking(socket_handle sock)
{
    u_long on = 1;
    return ::ioctlsocket(native(sock), FIONBIO, &on) == SOCKET_ERROR ? fail() : 0;
}

socket_handle client_connect_start(const char* host, std::uint16_t port)
{
    return connect_to(host, port, false);
}

int client_send_some(socket_handle sock, const void* data, std::size_t size)
{
    int chunk = size > 65536 ? 65536 : static_cast<int>(size);
    int n = ::send(native(sock), static_cast<const char*>(data), chunk, 0);
    if (n == SOCKET_ERROR)
        return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : fail();
    return n;
}

int client_poll(ClientPoll* entries, std::size_t count, int timeout_ms)
{
    std::vector<WSAPOLLFD> fds(count);
    for (std::size_t i = 0; i < count; i++) {
        fds[i].fd = native(entries[i].sock);
        fds[i].events = static_cast<short>(POLLRDNORM | (entries[i].want_write ? POLLWRNORM : 0));
    }
    int ready = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeout_ms);
    if (ready == SOCKET_ERROR)
        return fail();
    for (std::size_t i = 0; i < count; i++) {
        entries[i].readable = (fds[i].revents & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) != 0;
        entries[i].writable = (fds[i].revents & (POLLWRNORM | POLLERR | POLLHUP)) != 0;
    }
    return ready;
}
