#include "platform/heap.h"
#include "platform/platform.h"
#include "platform/socket_api.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

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

namespace {

// The system's shortest form; the same on every system that follows
// RFC 5952, as both backends do.
void ipv6_text(const PeerAddress* peer, char* text)
{
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    std::memcpy(&address.sin6_addr, peer->octets, 16);
    if (getnameinfo(reinterpret_cast<sockaddr*>(&address), sizeof address, text, ADDRESS_TEXT_SIZE,
                    nullptr, 0, NI_NUMERICHOST) != 0)
        std::strcpy(text, "?");
}

} // namespace

bool same_address(const PeerAddress& a, const PeerAddress& b)
{
    return a.ipv6 == b.ipv6 && std::memcmp(a.octets, b.octets, sizeof a.octets) == 0;
}

void sock_dotted_address(const PeerAddress* peer, char* text)
{
    if (peer->ipv6) {
        ipv6_text(peer, text);
        return;
    }
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

// Per thread, as WSAGetLastError and errno are: a tool or test that sends on
// one thread and receives on another must not read the other's error.
static thread_local int last_socket_error;

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

namespace {

// The address with its port, or false when the text is no address literal.
// Takes no name: a listener names the address it holds.
bool parse_listen_address(const char* text, std::uint16_t port, sockaddr_storage* address,
                          address_length* length)
{
    std::string host = text;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    // The resolver also reads the old short forms ("1.2.3" is 1.2.0.3),
    // which an operator hardly means: an IPv4 address has its four parts.
    bool is_ipv4 = host.find(':') == std::string::npos;
    if (is_ipv4 && (std::count(host.begin(), host.end(), '.') != 3 ||
                    host.find_first_not_of("0123456789.") != std::string::npos))
        return false;
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
        return false;
    bool usable = found->ai_addrlen <= sizeof *address &&
                  (found->ai_family == AF_INET || found->ai_family == AF_INET6);
    if (usable) {
        std::memcpy(address, found->ai_addr, found->ai_addrlen);
        *length = static_cast<address_length>(found->ai_addrlen);
        if (found->ai_family == AF_INET)
            reinterpret_cast<sockaddr_in*>(address)->sin_port = htons(port);
        else
            reinterpret_cast<sockaddr_in6*>(address)->sin6_port = htons(port);
    }
    freeaddrinfo(found);
    return usable;
}

// Closes the socket, keeping the error of the step that failed for perror.
socket_handle fail_listen(native_socket sock, ListenFailure step, ListenFailure* failure)
{
    record_socket_error();
    int error = errno;
    if (sock != NO_NATIVE_SOCKET)
        close_native(sock);
    errno = error;
    *failure = step;
    return INVALID_SOCKET_HANDLE;
}

} // namespace

bool sock_parse_address(const char* text, PeerAddress* address)
{
    sockaddr_storage parsed{};
    address_length length = 0;
    if (!parse_listen_address(text, 0, &parsed, &length))
        return false;
    store_peer(parsed, address);
    return true;
}

bool sock_is_address_literal(const char* text)
{
    PeerAddress ignored;
    return sock_parse_address(text, &ignored);
}

bool sock_listen_addresses_overlap(const char* a, const char* b)
{
    sockaddr_storage x{};
    sockaddr_storage y{};
    address_length length = 0;
    if (!parse_listen_address(a, 0, &x, &length) || !parse_listen_address(b, 0, &y, &length) ||
        x.ss_family != y.ss_family)
        return false;
    if (x.ss_family == AF_INET) {
        const in_addr p = reinterpret_cast<const sockaddr_in*>(&x)->sin_addr;
        const in_addr q = reinterpret_cast<const sockaddr_in*>(&y)->sin_addr;
        return p.s_addr == htonl(INADDR_ANY) || q.s_addr == htonl(INADDR_ANY) || p.s_addr == q.s_addr;
    }
    const sockaddr_in6& p = reinterpret_cast<const sockaddr_in6&>(x);
    const sockaddr_in6& q = reinterpret_cast<const sockaddr_in6&>(y);
    return IN6_IS_ADDR_UNSPECIFIED(&p.sin6_addr) || IN6_IS_ADDR_UNSPECIFIED(&q.sin6_addr) ||
           (std::memcmp(&p.sin6_addr, &q.sin6_addr, sizeof p.sin6_addr) == 0 && p.sin6_scope_id == q.sin6_scope_id);
}

socket_handle sock_listen_at(const char* text, std::uint16_t port, ListenFailure* failure)
{
    *failure = ListenFailure::none;
    sockaddr_storage address{};
    address_length length = 0;
    if (!parse_listen_address(text, port, &address, &length)) {
        errno = EINVAL;
        sock_set_last_error(WSAEINVAL);
        *failure = ListenFailure::address;
        return INVALID_SOCKET_HANDLE;
    }
    native_socket sock = ::socket(address.ss_family, SOCK_STREAM, 0);
    if (sock == NO_NATIVE_SOCKET)
        return fail_listen(sock, ListenFailure::socket, failure);
    std::int32_t on = 1;
    const char* option = reinterpret_cast<const char*>(&on);
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, option, sizeof on) != 0)
        return fail_listen(sock, ListenFailure::reuse_address, failure);
    if (address.ss_family == AF_INET6 && setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, option, sizeof on) != 0)
        return fail_listen(sock, ListenFailure::ipv6_only, failure);
    if (::bind(sock, reinterpret_cast<sockaddr*>(&address), length) != 0)
        return fail_listen(sock, ListenFailure::bind, failure);
    socket_handle listener = static_cast<socket_handle>(sock);
    if (sock_listen(listener) != 0)
        return fail_listen(sock, ListenFailure::listen, failure);
    return listener;
}
