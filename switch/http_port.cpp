#include "switch/http_port.h"

#include "platform/tls.h"
#include "switch/listener.h"
#include "switch/server.h"
#include "switch/source_key.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

bool is_open(const HttpConnection& connection)
{
    return connection.watcher.socket != INVALID_SOCKET_HANDLE;
}

// The slot freed: assigned afresh, so a flood of requests leaves no memory
// behind.
void free_slot_of(HttpConnection& connection)
{
    HttpPort* port = connection.port;
    port->open--;
    connection = HttpConnection{};
    connection.port = port;
}

HttpConnection* free_slot(HttpPort& port)
{
    for (HttpConnection& c : port.connections)
        if (!is_open(c))
            return &c;
    return nullptr;
}

// The connection that has waited longest without a whole request, or null
// when every one has sent its own. Deadlines follow accepts, so the
// earliest is the oldest.
HttpConnection* longest_stalled(HttpPort& port)
{
    HttpConnection* oldest = nullptr;
    for (HttpConnection& c : port.connections)
        if (is_open(c) && !c.answering && (!oldest || c.deadline_ms < oldest->deadline_ms))
            oldest = &c;
    return oldest;
}

// Reads and writes through TLS on a secure listener, else the socket.
int slot_recv(HttpConnection& connection, char* buffer, std::size_t size)
{
    const int n = static_cast<int>(size);
    return connection.tls ? tls_recv(connection.tls, buffer, n)
                          : platform.recv(connection.watcher.socket, buffer, n);
}

int slot_send(HttpConnection& connection, std::string_view bytes)
{
    const int n = static_cast<int>(bytes.size());
    return connection.tls ? tls_send(connection.tls, bytes.data(), n)
                          : platform.send(connection.watcher.socket, bytes.data(), n, 0);
}

// Reading the request, then room for the answer; TLS may want room to
// write its handshake while the request is read. False when the poller
// refused, and the connection is closed.
bool refresh_slot_watch(Server& server, HttpConnection& connection)
{
    const bool tls_writes = connection.tls && tls_wants_write(connection.tls);
    const Interest interest = connection.answering ? Interest{.write = true}
                                                   : Interest{.read = true, .write = tls_writes};
    if (watch(server, connection.watcher, interest))
        return true;
    close_http(server, connection);
    return false;
}

// Offers the rest of the piece in hand, after making the next one if the
// socket took the last: one piece a turn, so a long page never holds the
// loop, and a reader that never reads costs one piece. The connection is
// closed once the answer is sent, or when the socket fails; otherwise the
// rest waits for room.
void send_answer(Server& server, HttpConnection& connection)
{
    if (connection.more && connection.sent == connection.pending.size()) {
        connection.pending.clear();
        connection.sent = 0;
        try {
            connection.more = append_sessions_piece(server, connection.page, connection.pending);
        } catch (const std::bad_alloc&) {
            close_http(server, connection);
            return;
        }
    }
    std::string_view rest = std::string_view(connection.pending).substr(connection.sent);
    int sent = slot_send(connection, rest);
    if (sent < 0 && sock_last_error() == WSAEWOULDBLOCK)
        return;
    if (sent >= 0)
        connection.sent += static_cast<std::size_t>(sent);
    if (sent < 0 || (connection.sent == connection.pending.size() && !connection.more))
        close_http(server, connection);
}

// Reads what came and answers once the head is whole (or cannot be). The
// answer is made here, in the loop, so nothing else touches the server.
void read_request(Server& server, HttpConnection& connection)
{
    HttpPort& port = *connection.port;
    char buffer[HTTP_HEAD_MAX + 1];
    const std::size_t room = std::min(sizeof buffer, port.head_max + 1 - connection.received.size());
    int n = slot_recv(connection, buffer, room);
    if (n < 0 && sock_last_error() == WSAEWOULDBLOCK) {
        refresh_slot_watch(server, connection);
        return;
    }
    if (n <= 0) {
        close_http(server, connection);
        return;
    }
    try {
        connection.received.append(buffer, static_cast<std::size_t>(n));
        HttpHead head = read_http_head(connection.reader, connection.received);
        if (head.status == HttpHeadStatus::incomplete) {
            refresh_slot_watch(server, connection);
            return;
        }
        connection.answering = true;
        port.answer(server, connection, head);
    } catch (const std::bad_alloc&) {
        close_http(server, connection);
        return;
    }
    // Taken out of the port (an upgrade), or closed.
    if (!is_open(connection))
        return;
    // Read no more: what else the client sends is not looked at; what the
    // socket does not take at once waits for room.
    if (refresh_slot_watch(server, connection))
        send_answer(server, connection);
}

// A slot's TLS, made from the server's context as it is at accept. False,
// and the connection closed, when it cannot be.
bool start_tls(Server& server, HttpConnection& connection)
{
    std::string error;
    connection.tls = tls_accept(server.tls_context, connection.watcher.socket, &error);
    if (connection.tls)
        return true;
    close_http(server, connection);
    return false;
}

void watch_port(Server& server, HttpPort& port, std::int64_t now_ms, std::int64_t* until_ms)
{
    if (port.open == 0)
        return;
    for (HttpConnection& c : port.connections) {
        if (!is_open(c))
            continue;
        if (now_ms >= c.deadline_ms)
            close_http(server, c);
        else
            *until_ms = std::min(*until_ms, c.deadline_ms);
    }
}

void serve_port(Server& server, HttpPort& port)
{
    if (port.open == 0)
        return;
    for (HttpConnection& c : port.connections) {
        bool reported = c.reported;
        c.reported = false;
        if (!reported || !is_open(c))
            continue;
        if (c.answering)
            send_answer(server, c);
        else
            read_request(server, c);
    }
}

} // namespace

bool answer_broken_head(HttpConnection& connection, const HttpHead& head)
{
    switch (head.status) {
    case HttpHeadStatus::incomplete:
    case HttpHeadStatus::complete:
        return false;
    case HttpHeadStatus::bad_request:
        connection.pending = http_error_response(HttpStatus::bad_request);
        return true;
    case HttpHeadStatus::too_large:
        connection.pending = http_error_response(HttpStatus::header_fields_too_large);
        return true;
    }
    return false;
}

void answer_metrics(Server& server, HttpConnection& connection, const HttpHead& head)
{
    if (answer_broken_head(connection, head))
        return;
    std::string& out = connection.pending;
    const bool head_only = head.method == "HEAD";
    if (head.method != "GET" && !head_only) {
        out = http_error_response(HttpStatus::method_not_allowed);
    } else if (head.path == "/metrics") {
        out = http_response(HttpStatus::ok, METRICS_CONTENT_TYPE, metrics_document(server), head_only);
    } else if (head.path != "/sessions") {
        out = http_error_response(HttpStatus::not_found, head_only);
    } else if (!sessions_page_from_query(head.query, &connection.page)) {
        out = http_error_response(HttpStatus::bad_request, head_only);
    } else {
        // Its length is not known until the last piece is made.
        out = http_response_head(HttpStatus::ok, SESSIONS_CONTENT_TYPE, std::nullopt);
        connection.more = !head_only && append_sessions_piece(server, connection.page, out);
    }
}

void accept_http(Server& server, HttpPort& port, Listener& listener)
{
    PeerAddress peer;
    socket_handle sock = platform.accept(listener.watcher.socket, &peer);
    if (sock == INVALID_SOCKET_HANDLE) {
        if (sock_last_error() == WSAEMFILE)
            pause_accepts(server, listener);
        return;
    }
    listener.accepts_paused = false;
    if (platform.set_nonblocking(sock) != 0 || (port.admits && !port.admits(server, port, peer))) {
        platform.close(sock);
        return;
    }
    HttpConnection* connection = free_slot(port);
    if (!connection && (connection = longest_stalled(port))) {
        close_http(server, *connection);
        if (port.evictions)
            (server.metrics.*port.evictions)++;
    }
    if (!connection) {
        // One try, without waiting: a new socket's buffer takes these few
        // bytes, and if it does not, the close says enough.
        std::string busy = http_error_response(HttpStatus::service_unavailable);
        platform.send(sock, busy.data(), static_cast<int>(busy.size()), 0);
        platform.close(sock);
        return;
    }
    connection->watcher = Watcher{
        .take_event = take_http_event,
        .owner = connection,
        .socket = sock,
        .kind = WatcherKind::http_slot,
        .interest = {},
        .watched = false,
    };
    connection->port = &port;
    connection->peer = peer;
    connection->transport = listener.transport;
    connection->reader.head_max = port.head_max;
    port.open++;
    connection->deadline_ms = platform.monotonic_ms() + HTTP_DEADLINE_MS;
    if (listener.kind == ListenerKind::secure_web && !start_tls(server, *connection))
        return;
    refresh_slot_watch(server, *connection);
}

void watch_http(Server& server, std::int64_t now_ms, std::int64_t* until_ms)
{
    watch_port(server, server.http, now_ms, until_ms);
    watch_port(server, server.web, now_ms, until_ms);
}

void take_http_event(Server&, Watcher& watcher, const SocketEvent&)
{
    static_cast<HttpConnection*>(watcher.owner)->reported = true;
}

void serve_http(Server& server)
{
    serve_port(server, server.http);
    serve_port(server, server.web);
}

std::size_t slots_held(const HttpPort& port, const PeerAddress& peer)
{
    std::size_t held = 0;
    for (const HttpConnection& c : port.connections)
        if (is_open(c) && source_key(c.peer) == source_key(peer))
            held++;
    return held;
}

std::string_view bytes_after_head(const HttpConnection& connection)
{
    return std::string_view(connection.received).substr(http_head_length(connection.reader));
}

socket_handle hand_over_http(Server& server, HttpConnection& connection)
{
    unwatch(server, connection.watcher);
    const socket_handle sock = connection.watcher.socket;
    free_slot_of(connection);
    return sock;
}

void close_http(Server& server, HttpConnection& connection)
{
    // The closing alert, if the socket takes it now, before the socket goes.
    tls_connection_free(connection.tls);
    close_watched_socket(server, connection.watcher);
    free_slot_of(connection);
}
