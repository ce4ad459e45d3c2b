// Windows backend: WinSock itself. <winsock2.h> comes first so that its
// error-code macros stand in for the platform header's own definitions.
#include <winsock2.h>
#include <windows.h>

#include "platform/heap.h"
#include "platform/platform.h"

#include <cstring>

// The socket sets copy WinSock's: an fd_set of FD_SETSIZE (64) handles
// takes every member of one whole, and nothing beyond.
static_assert(FD_SETSIZE == SOCKET_SET_CAPACITY, "WinSock fd_set must hold 64 sockets");

namespace {

int record_wsa_error()
{
    sock_set_last_error(WSAGetLastError());
    return -1;
}

SOCKET native(socket_handle sock)
{
    return static_cast<SOCKET>(sock);
}

std::time_t win_now()
{
    return std::time(nullptr);
}

void to_fd_set(const SocketSet* set, fd_set* native_set)
{
    FD_ZERO(native_set);
    for (unsigned i = 0; i < set->count; i++)
        native_set->fd_array[native_set->fd_count++] = native(set->handles[i]);
}

void from_fd_set(SocketSet* set, const fd_set* native_set)
{
    set->count = 0;
    for (unsigned i = 0; i < native_set->fd_count; i++)
        set->handles[set->count++] = static_cast<socket_handle>(native_set->fd_array[i]);
}

int win_select(SocketSet* read_set, SocketSet* except_set, long timeout_us)
{
    unsigned members = (read_set ? read_set->count : 0) + (except_set ? except_set->count : 0);
    if (members == 0) {
        // WinSock refuses a select over empty sets; wait out the time-out instead.
        Sleep(static_cast<DWORD>((timeout_us + 999) / 1000));
        return 0;
    }
    fd_set reads;
    fd_set excepts;
    if (read_set)
        to_fd_set(read_set, &reads);
    if (except_set)
        to_fd_set(except_set, &excepts);
    timeval timeout{timeout_us / 1000000, timeout_us % 1000000};
    int ready = ::select(64, read_set ? &reads : nullptr, nullptr, except_set ? &excepts : nullptr,
                         &timeout);
    if (ready == SOCKET_ERROR)
        return record_wsa_error();
    if (read_set)
        from_fd_set(read_set, &reads);
    if (except_set)
        from_fd_set(except_set, &excepts);
    return ready;
}

socket_handle win_accept(socket_handle listener, PeerAddress* peer)
{
    sockaddr_in address{};
    int length = sizeof address;
    SOCKET sock = ::accept(native(listener), reinterpret_cast<sockaddr*>(&address), &length);
    if (sock == INVALID_SOCKET) {
        record_wsa_error();
        return INVALID_SOCKET_HANDLE;
    }
    std::memcpy(peer->octets, &address.sin_addr.s_addr, 4);
    peer->port = ntohs(address.sin_port);
    // Every turn sends what it has; with Nagle's algorithm the second turn's
    // send would wait for the peer's delayed acknowledgement, up to 200 ms.
    BOOL on = TRUE;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return static_cast<socket_handle>(sock);
}

int win_recv(socket_handle sock, char* buffer, int size)
{
    int n = ::recv(native(sock), buffer, size, 0);
    return n == SOCKET_ERROR ? record_wsa_error() : n;
}

int win_send(socket_handle sock, const char* data, int size, int flags)
{
    int n = ::send(native(sock), data, size, flags);
    return n == SOCKET_ERROR ? record_wsa_error() : n;
}

int win_close(socket_handle sock)
{
    return ::closesocket(native(sock)) == SOCKET_ERROR ? record_wsa_error() : 0;
}

int win_set_nonblocking(socket_handle sock)
{
    u_long on = 1;
    return ::ioctlsocket(native(sock), FIONBIO, &on) == SOCKET_ERROR ? record_wsa_error() : 0;
}

int win_reverse_lookup(const PeerAddress* peer, char* host, std::size_t size)
{
    hostent* entry = ::gethostbyaddr(reinterpret_cast<const char*>(peer->octets), 4, AF_INET);
    if (!entry || !entry->h_name)
        return 0;
    std::strncpy(host, entry->h_name, size - 1);
    host[size - 1] = '\0';
    return 1;
}

constexpr PlatformCalls win_calls = {
    win_now,    win_select,  win_accept,          win_recv,
    win_send,   win_close,   win_set_nonblocking, win_reverse_lookup,
    heap_alloc, heap_resize, heap_release,
};

} // namespace

const PlatformCalls platform_defaults = win_calls;
PlatformCalls platform = win_calls;

int sock_startup(std::uint16_t requested, std::uint16_t* granted)
{
    WSADATA data;
    int rc = ::WSAStartup(requested, &data);
    *granted = rc == 0 ? data.wVersion : 0;
    return rc;
}

void sock_cleanup()
{
    ::WSACleanup();
}

socket_handle sock_open_stream()
{
    SOCKET sock = ::socket(AF_INET, SOCK_STREAM, 0);
    if (sock == INVALID_SOCKET) {
        record_wsa_error();
        return INVALID_SOCKET_HANDLE;
    }
    return static_cast<socket_handle>(sock);
}

int sock_reuse_address(socket_handle sock)
{
    std::int32_t on = 1;
    if (::setsockopt(native(sock), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on),
                     sizeof on) == SOCKET_ERROR)
        return record_wsa_error();
    return 0;
}

int sock_bind_any(socket_handle sock, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(native(sock), reinterpret_cast<sockaddr*>(&address), sizeof address) ==
        SOCKET_ERROR)
        return record_wsa_error();
    return 0;
}

int sock_listen(socket_handle sock, int backlog)
{
    return ::listen(native(sock), backlog) == SOCKET_ERROR ? record_wsa_error() : 0;
}

void debug_output(const char* text)
{
    ::OutputDebugStringA(text);
}

void sleep_ms(unsigned milliseconds)
{
    ::Sleep(milliseconds);
}

int local_time(std::time_t t, std::tm* out)
{
    return localtime_s(out, &t) == 0 ? 1 : 0;
}

const char* const LOG_FILE_MODE = "a+t";
