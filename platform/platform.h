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

// A socket set with WinSock's semantics: an array of at most 64 handles,
// where a socket offered to a full set is left out. After a wait it holds
// only the members that were reported.
constexpr unsigned SOCKET_SET_CAPACITY = 64;

struct SocketSet {
    unsigned count;
    socket_handle handles[SOCKET_SET_CAPACITY];
};

void socket_set_clear(SocketSet* set);
// Returns 1 when the socket was added, 0 when the set was already full.
int socket_set_add(SocketSet* set, socket_handle sock);
// Membership test after a wait, the twin of FD_ISSET.
int socket_set_has(const SocketSet* set, socket_handle sock);

// An IPv4 peer: address in network order, as accept fills it in.
struct PeerAddress {
    std::uint8_t octets[4];
    std::uint16_t port;
};

// The calls the passes of the main loop make. Tests swap entries out.
struct PlatformCalls {
    std::time_t (*now)();
    // Waits at most timeout_us for the read and exception sets; returns the
    // number of reported sockets, 0 on time-out, -1 on failure. Either set
    // may be null. A socket once given to it is closed with close below.
    int (*select)(SocketSet* read_set, SocketSet* except_set, long timeout_us);
    socket_handle (*accept)(socket_handle listener, PeerAddress* peer);
    int (*recv)(socket_handle sock, char* buffer, int size);
    int (*send)(socket_handle sock, const char* data, int size, int flags);
    int (*close)(socket_handle sock);
    int (*set_nonblocking)(socket_handle sock);
    // Writes the peer's host name and returns 1, or returns 0 when the
    // reverse look-up finds none.
    int (*reverse_lookup)(const PeerAddress* peer, char* host, std::size_t size);
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

// Heap helpers over the table, so that every allocation can be failed.
void* mem_zalloc(std::size_t size);

// Dotted text of an IPv4 address (inet_ntoa); buffer of at least 16 bytes.
void sock_dotted_address(const PeerAddress* peer, char* text);

// Start-up calls, made once by the shell.
// The socket library: returns 0 on success and the granted version word.
int sock_startup(std::uint16_t requested, std::uint16_t* granted);
void sock_cleanup();
socket_handle sock_open_stream();
int sock_reuse_address(socket_handle sock);
int sock_bind_any(socket_handle sock, std::uint16_t port);
int sock_listen(socket_handle sock, int backlog);

// The debugger output channel (OutputDebugStringA). POSIX has none; there the
// text goes to syslog at debug level.
void debug_output(const char* text);
void sleep_ms(unsigned milliseconds);
// Broken-down local time of t; returns 0 when it cannot be had.
int local_time(std::time_t t, std::tm* out);
// fopen mode for the event log: text append, which stores CRLF on Windows.
extern const char* const LOG_FILE_MODE;
