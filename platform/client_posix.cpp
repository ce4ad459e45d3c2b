#include "platform/client.h"
#include "platform/posix_errors.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

int fd_of(socket_handle sock)
{
    return static_cast<int>(sock);
}

int fail()
{
    return record_errno();
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
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        fail();
        return INVALID_SOCKET_HANDLE;
    }
    auto sock = static_cast<socket_handle>(fd);
    if ((!wait && client_set_nonblocking(sock) < 0) ||
        (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 &&
         (wait || errno != EINPROGRESS))) {
        fail();
        ::close(fd);
        return INVALID_SOCKET_HANDLE;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return sock;
}

// The errno behind a WSA code; any other code came through as an errno.
int errno_from_wsa_code(int code)
{
    switch (code) {
    case WSAEINTR: return EINTR;
    case WSAEBADF: return EBADF;
    case WSAEACCES: return EACCES;
    case WSAEFAULT: return EFAULT;
    case WSAEINVAL: return EINVAL;
    case WSAEMFILE: return EMFILE;
    case WSAEWOULDBLOCK: return EWOULDBLOCK;
    case WSAENOTSOCK: return ENOTSOCK;
    case WSAEMSGSIZE: return EMSGSIZE;
    case WSAEADDRINUSE: return EADDRINUSE;
    case WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
    case WSAENETDOWN: return ENETDOWN;
    case WSAENETUNREACH: return ENETUNREACH;
    case WSAECONNABORTED: return ECONNABORTED;
    case WSAECONNRESET: return ECONNRESET;
    case WSAENOBUFS: return ENOBUFS;
    case WSAENOTCONN: return ENOTCONN;
    case WSAESHUTDOWN: return ESHUTDOWN;
    case WSAETIMEDOUT: return ETIMEDOUT;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAEHOSTUNREACH: return EHOSTUNREACH;
    default: return code;
    }
}

} // namespace

std::string client_error_text(int code)
{
    return std::strerror(errno_from_wsa_code(code));
}

int client_startup()
{
    return 0;
}

socket_handle client_connect(const char* host, std::uint16_t port)
{
    return connect_to(host, port, true);
}

int client_send_all(socket_handle sock, const void* data, std::size_t size)
{
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd_of(sock), p, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail();
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int client_recv(socket_handle sock, void* buffer, std::size_t size, int timeout_ms)
{
    pollfd entry{fd_of(sock), POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0)
        return fail();
    if (ready == 0)
        return CLIENT_TIMED_OUT;
    ssize_t n = ::recv(fd_of(sock), buffer, size, 0);
    return n < 0 ? fail() : static_cast<int>(n);
}

int client_set_receive_buffer(socket_handle sock, int bytes)
{
    return setsockopt(fd_of(sock), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) < 0 ? fail() : 0;
}

int client_shutdown_send(socket_handle sock)
{
    return ::shutdown(fd_of(sock), SHUT_WR) < 0 ? fail() : 0;
}

int client_abort(socket_handle sock)
{
    linger hard{1, 0};
    setsockopt(fd_of(sock), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    return client_close(sock);
}

int client_close(socket_handle sock)
{
    return ::close(fd_of(sock)) < 0 ? fail() : 0;
}

socket_handle client_listen_loopback(std::uint16_t* port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        fail();
        return INVALID_SOCKET_HANDLE;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        ::listen(fd, 16) < 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0) {
        fail();
        ::close(fd);
        return INVALID_SOCKET_HANDLE;
    }
    *port = ntohs(address.sin_port);
    return static_cast<socket_handle>(fd);
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
    int flags = fcntl(fd_of(sock), F_GETFL, 0);
    return flags < 0 || fcntl(fd_of(sock), F_SETFL, flags | O_NONBLOCK) < 0 ? fail() : 0;
}

socket_handle client_connect_start(const char* host, std::uint16_t port)
{
    return connect_to(host, port, false);
}

int client_send_some(socket_handle sock, const void* data, std::size_t size)
{
    ssize_t n;
    do {
        n = ::send(fd_of(sock), data, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : fail();
    return static_cast<int>(n);
}

int client_poll(ClientPoll* entries, std::size_t count, int timeout_ms)
{
    std::vector<pollfd> fds(count);
    for (std::size_t i = 0; i < count; i++) {
        fds[i].fd = fd_of(entries[i].sock);
        fds[i].events = static_cast<short>(POLLIN | (entries[i].want_write ? POLLOUT : 0));
    }
    int ready;
    do {
        ready = ::poll(fds.data(), fds.size(), timeout_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0)
        return fail();
    for (std::size_t i = 0; i < count; i++) {
        entries[i].readable = (fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
        entries[i].writable = (fds[i].revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
    }
    return ready;
}
