// TLS over the server's non-blocking sockets, for one thread that polls.
//
// A connection never blocks: the handshake is taken a step at a time, and
// tls_recv / tls_send keep the contract of platform.recv / platform.send, so
// a session can read and write through TLS as it does through a plain
// socket. The bytes go through the platform table, so writes never raise
// SIGPIPE and tests can fake the network under TLS too.
//
// Builds without OpenSSL 3 (Windows among them) have the same calls; there
// tls_available() is false and every constructor fails with the reason.
#pragma once

#include "platform/platform.h"

#include <string>

// False where this build has no TLS; tls_unavailable_reason() then says why
// ("" where TLS is available).
bool tls_available();
const char* tls_unavailable_reason();

// A configuration that connections are made from. Reference counted:
// every connection holds its own reference, so releasing or replacing a
// context never disturbs the connections already made from it.
struct TlsContext;

struct TlsServerFiles {
    std::string cert;      // PEM: the certificate, then any intermediates
    std::string key;       // PEM: its private key
    std::string client_ca; // PEM: when set, clients must show a certificate it signed
};

// A server's context: TLS 1.2 at least, the library's default ciphers.
// nullptr, with the reason (naming the file) in *error, when the files do
// not load or the key does not match the certificate.
TlsContext* tls_server_context(const TlsServerFiles& files, std::string* error);

// Builds a new context from files and, only when it loads, releases
// *current and puts the new one in its place. Returns false and leaves
// *current alone otherwise, with the reason in *error.
bool tls_server_context_reload(TlsContext** current, const TlsServerFiles& files, std::string* error);

// A client's context: TLS 1.2 at least. With verify, the server's
// certificate must chain to ca_file (PEM), or to the system's store when
// ca_file is empty, and name the host connected to (tls_connect).
TlsContext* tls_client_context(const std::string& ca_file, bool verify, std::string* error);

// Drops the caller's reference; nullptr is ignored.
void tls_context_release(TlsContext* context);

// One TLS connection over a connected non-blocking socket, which it uses
// but does not own: close the socket after tls_connection_free.
struct TlsConnection;

// The server's side of an accepted socket. nullptr with *error on failure.
TlsConnection* tls_accept(TlsContext* context, socket_handle sock, std::string* error);
// The client's side: host is sent as the server name (unless it is an
// address literal) and checked against the certificate when the context
// verifies.
TlsConnection* tls_connect(TlsContext* context, socket_handle sock, const std::string& host,
                           std::string* error);

// Sends the closing alert if the socket takes it now, then frees; never
// blocks. nullptr is ignored.
void tls_connection_free(TlsConnection* tls);

enum class TlsStep {
    done,    // the handshake is complete
    pending, // waiting for the peer: call again when the socket is ready
    failed,  // tls_failure() says why; close the connection
};

// Takes the handshake as far as the socket allows without blocking.
// Optional: tls_recv and tls_send also take it on while it is pending.
TlsStep tls_handshake(TlsConnection* tls);
bool tls_handshake_done(const TlsConnection* tls);

// As platform.recv: decrypted bytes (at most one TLS record's worth), 0
// when the peer closed, -1 with sock_last_error() WSAEWOULDBLOCK when no
// whole record is there yet (also while the handshake is pending), -1 with
// another code on failure (WSAECONNABORTED for a TLS protocol failure,
// which tls_failure() names).
int tls_recv(TlsConnection* tls, char* buffer, int size);

// As platform.send: the count of bytes taken (possibly fewer than size), or
// -1 with sock_last_error() WSAEWOULDBLOCK or a failure code. After a
// WSAEWOULDBLOCK the next call must offer the same bytes again (at least as
// many), as a caller that sends from the front of its queue does: the
// library may already have encrypted part of them.
int tls_send(TlsConnection* tls, const char* data, int size);

// True when the last call stopped because the socket would not take what
// TLS had to write (handshake, alert or a record): watch for writability
// and call again.
bool tls_wants_write(const TlsConnection* tls);

// True when decrypted bytes wait inside the library (a record longer than
// the last read took): the socket will not turn readable for them, so read
// again before waiting.
bool tls_has_buffered_input(const TlsConnection* tls);

// Why the connection failed (handshake or later), for the log; "" if it
// has not.
const char* tls_failure(const TlsConnection* tls);

// The peer's certificate, once the handshake is done: its subject as one
// line (RFC 2253), and its SHA-256 fingerprint as colon-separated hex
// pairs. "" when the peer showed none.
std::string tls_peer_subject(const TlsConnection* tls);
std::string tls_peer_fingerprint(const TlsConnection* tls);
