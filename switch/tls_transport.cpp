#include "switch/tls_transport.h"

#include "platform/tls.h"
#include "switch/server.h"

#include <string>

namespace {

TlsConnection* connection_of(const Session& session)
{
    return static_cast<TlsConnection*>(session.transport.state);
}

bool tls_open(const Server& server, Session& session)
{
    std::string error;
    session.transport.state = tls_accept(server.tls_context, session.transport.socket, &error);
    return session.transport.state != nullptr;
}

HandshakeStep tls_step(Session& session, const char** reason)
{
    switch (tls_handshake(connection_of(session))) {
    case TlsStep::done:
        return HandshakeStep::done;
    case TlsStep::pending:
        return HandshakeStep::pending;
    case TlsStep::failed:
        break;
    }
    *reason = tls_failure(connection_of(session));
    return HandshakeStep::failed;
}

// One call of the library yields one record, and a client that writes
// frame by frame sends a record per frame: the read goes on while whole
// records are there, so a turn takes as much as from a plain socket. What
// ends it after the first bytes (no whole record, the close, a failure)
// comes again at the next read. Costs a library call per record, up to
// size bytes.
int tls_session_recv(Session& session, char* buffer, int size)
{
    int total = 0;
    while (total < size) {
        int n = tls_recv(connection_of(session), buffer + total, size - total);
        if (n <= 0)
            return total > 0 ? total : n;
        total += n;
    }
    return total;
}

int tls_session_send(Session& session, const char* data, int size)
{
    return tls_send(connection_of(session), data, size);
}

bool tls_session_buffered(const Session& session)
{
    return tls_has_buffered_input(connection_of(session));
}

bool tls_session_wants_write(const Session& session)
{
    return tls_wants_write(connection_of(session));
}

// Before the socket is closed: the closing alert goes out if the socket
// takes it at once.
void tls_session_release(Session& session)
{
    tls_connection_free(connection_of(session));
    session.transport.state = nullptr;
}

// A TLS failure is logged with the socket's error code, as it always was.
const char* tls_session_failure(const Session&)
{
    return "";
}

constexpr Transport TLS_TRANSPORT{
    .name = "tls",
    .peer_name_suffix = " tls",
    .open = tls_open,
    .handshake = tls_step,
    .recv = tls_session_recv,
    .send = tls_session_send,
    .has_buffered_input = tls_session_buffered,
    .wants_write = tls_session_wants_write,
    .release = tls_session_release,
    .failure = tls_session_failure,
    // A record that has not come whole yet.
    .would_block_means_nothing_now = true,
    .gathers_output = true,
};

} // namespace

const Transport& tls_transport()
{
    return TLS_TRANSPORT;
}
