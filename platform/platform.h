// The one door between the server and the operating system.
//
// The server was written against WinSock; this layer keeps that vocabulary
// (socket handles, 64-slot socket sets, WSA error codes, a 2.0 library
// start-up) so the rest of the code reads the same on Windows and POSIX.
// Calls that the loop makes per turn go through `platform`, a table of
// function pointers that unit tests replace to fake the clock, the network
// and the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

// Wide enough for a WinSock SOCKET and for a POSIX descriptor alike.
using socket_handle = std::uintptr_t;
constexpr socket_handle INVALID_SOCKET_HANDLE = ~socket_handle{0};

// WinSock error codes. POSIX errno values are mapped onto these so that a
// caller tests one set of numbers everywhere. Guarded because the Windows
// backend also sees <winsock2.h>, which defines the same names.
#ifndef WSAEWOULDBLOCK
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTUNREACH = 10065;
#endif

// What a socket is watched for. An exceptional condition (urgent data) is
// watched for as long as the socket is watched at all.
struct Interest {
    bool read = false;
    bool write = false;
    bool operator==(const Interest&) const = default;
};

// What the caller watches a socket as (the switch's listeners, sessions,
// HTTP slots and wake-up): the poller only keeps the pointer and gives it
// back with each event for that socket.
struct Watcher;

// What the wait reports for one watched socket.
struct SocketEvent {
    Watcher* watcher;
    bool readable;  // data, end of stream, an error, or a connection to accept
    bool writable;  // room to send (only while watched for writes)
    bool exception; // an exceptional condition (urgent data)
    // The peer hung up or the socket failed; reported whatever it is
    // watched for, where the system does so (epoll), never on Windows.
    bool hung_up;
};

// A set of watched sockets that one server waits on. Sockets stay in it from
// one wait to the next, so a wait costs nothing per idle socket.
using poller_handle = std::intptr_t;
constexpr poller_handle NO_POLLER = -1;

// A peer's address in network order, as accept fills it in: the first 4
// octets of an IPv4 one, all 16 of an IPv6 one.
struct PeerAddress {
    std::uint8_t octets[16];
    std::uint16_t port;
    bool ipv6;
};

// The same host, whatever the ports.
bool same_address(const PeerAddress& a, const PeerAddress& b);

// Room for the text of any address, IPv6 included, and its zero byte.
constexpr std::size_t ADDRESS_TEXT_SIZE = 46;

// The reverse look-ups' workers and queues (resolver.h); one per server.
struct Resolver;

// A finished reverse look-up.
struct NameLookup {
    void* owner; // what the look-up was started with
    bool found;
    char host[1025];
};

// The calls the passes of the main loop make. Tests swap entries out.
struct PlatformCalls {
    std::time_t (*now)();
    poller_handle (*open_poller)();
    void (*close_poller)(poller_handle poller);
    // Starts watching sock, or changes what for. Its events name watcher.
    // 0 or -1.
    int (*watch)(poller_handle poller, socket_handle sock, Interest interest, Watcher* watcher);
    // Stops watching; a socket must leave its poller before it is closed.
    void (*unwatch)(poller_handle poller, socket_handle sock);
    // Waits at most timeout_us (with a negative one, for as long as it
    // takes) for any watched socket to be ready and stores up to capacity
    // events. Returns their count, 0 on time-out or when a signal cut the
    // wait short, -1 on failure.
    int (*wait)(poller_handle poller, SocketEvent* events, int capacity, long timeout_us);
    socket_handle (*accept)(socket_handle listener, PeerAddress* peer);
    int (*recv)(socket_handle sock, char* buffer, int size);
    int (*send)(socket_handle sock, const char* data, int size, int flags);
    int (*close)(socket_handle sock);
    int (*set_nonblocking)(socket_handle sock);
    // A clock for short deadlines: milliseconds that only go forward.
    std::int64_t (*monotonic_ms)();
    // Starts the reverse look-up of peer in the background; 0, or -1 when
    // none can be started (then there is no name).
    int (*lookup_start)(Resolver* resolver, const PeerAddress* peer, void* owner);
    // Stores up to capacity finished look-ups; returns their count.
    int (*lookup_collect)(Resolver* resolver, NameLookup* answers, int capacity);
    // Nobody wants the answer for owner any more.
    void (*lookup_cancel)(Resolver* resolver, void* owner);
    void* (*alloc)(std::size_t size);
    void* (*resize)(void* block, std::size_t size);
    void (*release)(void* block);
};

extern PlatformCalls platform;
// The table as the backend fills it, for tests that restore it.
extern const PlatformCalls platform_defaults;

// The error of the last failed socket call, as a WSA code (WSAGetLastError).
int sock_last_error();
void sock_set_last_error(int code);
// The system's own words for a socket error code (sock_last_error()), such
// as "Connection refused", for messages meant for people.
std::string sock_error_text(int code);

// Heap helpers over the table, so that every allocation can be failed.
void* mem_zalloc(std::size_t size);

// The address as text: dotted for IPv4 (inet_ntoa), the shortest form for
// IPv6 ("2001:db8::1"); text holds at least ADDRESS_TEXT_SIZE bytes.
void sock_dotted_address(const PeerAddress* peer, char* text);

// Start-up calls, made once by the shell.
// The socket library: returns 0 on success and the granted version word.
int sock_startup(std::uint16_t requested, std::uint16_t* granted);
void sock_cleanup();
socket_handle sock_open_stream();
int sock_reuse_address(socket_handle sock);
int sock_bind_any(socket_handle sock, std::uint16_t port);
// Listens with the longest queue of pending connections the system allows.
int sock_listen(socket_handle sock);

// The step at which opening a listening socket failed.
enum class ListenFailure {
    none,
    address, // not an IPv4 or IPv6 address
    socket,
    reuse_address,
    ipv6_only,
    bind,
    listen,
};

// The address written as text ("192.0.2.1", "2001:db8::1" or "[::1]"), read
// as sock_listen_at reads it, with port 0; false when the text is no
// address literal (a name is not looked up). On Windows, after sock_startup.
bool sock_parse_address(const char* text, PeerAddress* address);

// A listening socket on one IPv4 or IPv6 address, written as text
// ("192.0.2.1", "::1" or "[::1]"), and port. An IPv6 socket takes IPv6 only,
// so the same port can be had on an IPv4 address beside it. On failure
// returns INVALID_SOCKET_HANDLE with the step in *failure and its error as
// the last socket error (and in errno on POSIX, for perror).
socket_handle sock_listen_at(const char* address, std::uint16_t port, ListenFailure* failure);
// Whether sock_listen_at takes the text as an address, without opening
// anything (on Windows, after sock_startup).
bool sock_is_address_literal(const char* address);
// Whether listening on one port at both addresses would collide: the same
// family, and the same address or either the family's any-address ("::1"
// and "0::1", "0.0.0.0" and "127.0.0.1"). False when either is no address
// literal. On Windows, after sock_startup.
bool sock_listen_addresses_overlap(const char* a, const char* b);
// Raises the soft limit on open descriptors to the hard one, so the server
// can hold as many clients as the system lets it; nothing on Windows.
void raise_descriptor_limit();
// Lets the C library keep a few megabytes of freed memory for the next turn
// instead of returning it to the system at once (glibc; elsewhere nothing).
void keep_freed_memory_for_reuse();
// Hands freed heap memory back to the system, except the part kept for
// reuse; costs a walk of the free blocks (glibc; elsewhere nothing).
void give_back_freed_memory();

// The debugger output channel (OutputDebugStringA). POSIX has none; there the
// text goes to syslog at debug level.
void debug_output(const char* text);
void sleep_ms(unsigned milliseconds);
// Broken-down local time of t; returns 0 when it cannot be had.
int local_time(std::time_t t, std::tm* out);
// fopen mode for the event log: text append, which stores CRLF on Windows.
extern const char* const LOG_FILE_MODE;
