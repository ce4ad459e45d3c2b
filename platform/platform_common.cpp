#include "platform/heap.h"
#include "platform/platform.h"
#include "platform/socket_api.h"

#include <cstdlib>
#include <cstring>

void* heap_alloc(std::size_t size)
{
    return std::malloc(size);
}

void* heap_resize(void* block, std::size_t size)
{
    return std::realloc(block, size);
}

void heap_release(void* block)
{
    std::free(block);
}

void* mem_zalloc(std::size_t size)
{
    void* block = platform.alloc(size);
    if (block)
        std::memset(block, 0, size);
    return block;
}

void sock_dotted_address(const PeerAddress* peer, char* text)
{
    // Formatted by hand: inet_ntoa's static buffer is a trap, and the format
    // is the same everywhere.
    char* out = text;
    for (int i = 0; i < 4; i++) {
        unsigned value = peer->octets[i];
        if (i > 0)
            *out++ = '.';
        if (value >= 100)
            *out++ = static_cast<char>('0' + value / 100);
        if (value >= 10)
            *out++ = static_cast<char>('0' + value / 10 % 10);
        *out++ = static_cast<char>('0' + value % 10);
    }
    *out = '\0';
}

static int last_socket_error;

int sock_last_error()
{
    return last_socket_error;
}

void sock_set_last_error(int code)
{
    last_socket_error = code;
}

// The listening socket: the same calls on WinSock and POSIX sockets.
socket_handle sock_open_stream()
{
    native_socket sock = ::socket(AF_INET, SOCK_STREAM, 0);
    if (sock == NO_NATIVE_SOCKET) {
        record_socket_error();
        return INVALID_SOCKET_HANDLE;
    }
    return static_cast<socket_handle>(sock);
}

int sock_reuse_address(socket_handle sock)
{
    std::int32_t on = 1;
    if (setsockopt(static_cast<native_socket>(sock), SOL_SOCKET, SO_REUSEADDR,
                   reinterpret_cast<const char*>(&on), sizeof on) != 0)
        return record_socket_error();
    return 0;
}

int sock_bind_any(socket_handle sock, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(static_cast<native_socket>(sock), reinterpret_cast<sockaddr*>(&address),
               sizeof address) != 0)
        return record_socket_error();
    return 0;
}

int sock_bind_ipv4(socket_handle sock, const char* dotted, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, dotted, &address.sin_addr) != 1) {
        sock_set_last_error(WSAEINVAL);
        return -1;
    }
    if (::bind(static_cast<native_socket>(sock), reinterpret_cast<sockaddr*>(&address),
               sizeof address) != 0)
        return record_socket_error();
    return 0;
}
