#include "platform/client.h"
#include "platform/socket_api.h"

#include <cstring>
#include <string>
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

} // namespace


int client_startup()
{
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data);
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

// The socket is non-blocking wherever this is used: it does not wait.
int client_peek(socket_handle sock, void* buffer, std::size_t size)
{
    int chunk = size > 65536 ? 65536 : static_cast<int>(size);
    int n = ::recv(native(sock), static_cast<char*>(buffer), chunk, MSG_PEEK);
    return n == SOCKET_ERROR ? fail() : n;
}

int client_shutdown_send(socket_handle sock)
{
    return ::shutdown(native(sock), SD_SEND) == SOCKET_ERROR ? fail() : 0;
}

int client_close(socket_handle sock)
{
    return ::closesocket(native(sock)) == SOCKET_ERROR ? fail() : 0;
}

int client_set_nonblocking(socket_handle sock)
{
    u_long on = 1;
    return ::ioctlsocket(native(sock), FIONBIO, &on) == SOCKET_ERROR ? fail() : 0;
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
