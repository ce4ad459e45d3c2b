#include "platform/client.h"
#include "platform/posix_errors.h"
#include "platform/socket_api.h"

#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
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

} // namespace


int client_startup()
{
    return 0;
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

int client_peek(socket_handle sock, void* buffer, std::size_t size)
{
    ssize_t n;
    do {
        n = ::recv(fd_of(sock), buffer, size, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? fail() : static_cast<int>(n);
}

int client_shutdown_send(socket_handle sock)
{
    return ::shutdown(fd_of(sock), SHUT_WR) < 0 ? fail() : 0;
}

int client_close(socket_handle sock)
{
    return ::close(fd_of(sock)) < 0 ? fail() : 0;
}

int client_set_nonblocking(socket_handle sock)
{
    int flags = fcntl(fd_of(sock), F_GETFL, 0);
    return flags < 0 || fcntl(fd_of(sock), F_SETFL, flags | O_NONBLOCK) < 0 ? fail() : 0;
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
