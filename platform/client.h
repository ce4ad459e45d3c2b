// Client-side sockets for the companion tools, the benchmark and the tests:
// blocking calls with time-outs, loopback listeners and free ports.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Starts the socket library where one must be started; 0 on success.
int client_startup();

// A blocking connection to host (an IPv4 or IPv6 address, or a name) and
// port, trying each of its addresses in turn, or INVALID_SOCKET_HANDLE with
// sock_last_error() set: WSAEHOSTUNREACH when host does not resolve, and
// then the resolver's reason in *resolve_problem when given.
socket_handle client_connect(const char* host, std::uint16_t port,
                             std::string* resolve_problem = nullptr);
// The same from the local address source (a literal address), or from the
// system's choice when source is null.
socket_handle client_connect_from(const char* source, const char* host, std::uint16_t port);

// Sends every byte; 0 on success, -1 on failure.
int client_send_all(socket_handle sock, const void* data, std::size_t size);

constexpr int CLIENT_TIMED_OUT = -2;
// Receives what is there within timeout_ms (negative: wait for ever): the
// byte count, 0 when the peer closed, -1 on failure, CLIENT_TIMED_OUT.
int client_recv(socket_handle sock, void* buffer, std::size_t size, int timeout_ms);

// Copies what has arrived without taking it and without waiting: the byte
// count, 0 when the peer closed, -1 when nothing is there or on failure.
int client_peek(socket_handle sock, void* buffer, std::size_t size);

// Sets SO_RCVBUF; the system may round it. 0 on success.
int client_set_receive_buffer(socket_handle sock, int bytes);

// Ends the sending direction; the peer reads end of stream.
int client_shutdown_send(socket_handle sock);

// Closes with a reset instead of an orderly close.
int client_abort(socket_handle sock);

int client_close(socket_handle sock);

// A listening socket on 127.0.0.1 with a port the system picked.
socket_handle client_listen_loopback(std::uint16_t* port);
// The same on address, an IPv4 or IPv6 literal such as "::1".
socket_handle client_listen_on(const char* address, std::uint16_t* port);

// A loopback port that was free a moment ago (bound, read, released).
std::uint16_t client_free_port();

// Non-blocking use, for tests that drive many connections from one thread.

// Makes sends and receives on the socket return at once. 0 on success.
int client_set_nonblocking(socket_handle sock);

// Starts a non-blocking connection, to the first of host's addresses that
// takes one, and returns without waiting for it; the socket turns writable
// once connected (client_poll), or fails later.
socket_handle client_connect_start(const char* host, std::uint16_t port);

// Sends what the socket takes now: the count, 0 when it takes nothing, or -1.
int client_send_some(socket_handle sock, const void* data, std::size_t size);

struct ClientPoll {
    socket_handle sock;
    bool want_write;
    bool readable; // data, end of stream or an error waits
    bool writable;
};

// Waits up to timeout_ms for any entry to be readable or, where wanted,
// writable. Returns the number of ready entries, 0 on time-out, -1 on failure.
int client_poll(ClientPoll* entries, std::size_t count, int timeout_ms);

// TLS for the tools, over a socket from client_connect.
struct TlsContext;
struct TlsConnection;

// Makes sock non-blocking and completes the handshake within timeout_ms;
// nullptr with the reason in *error, and in *first_reply (when given) the
// first bytes the server sent, up to 16, as they came: a server that does
// not speak TLS shows there what it speaks instead. Free the result with
// tls_connection_free (platform/tls.h) before closing sock.
TlsConnection* client_tls_start(TlsContext* context, socket_handle sock, const std::string& host,
                                int timeout_ms, std::string* error, std::string* first_reply = nullptr);
// client_send_all and client_recv through TLS, with the same results.
int client_tls_send_all(socket_handle sock, TlsConnection* tls, const void* data, std::size_t size);
int client_tls_recv(socket_handle sock, TlsConnection* tls, void* buffer, std::size_t size,
                    int timeout_ms);
