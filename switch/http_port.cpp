#include "switch/http_port.h"

#include "switch/listener.h"
#include "switch/server.h"

#include <algorithm>
#include <new>

namespace {

bool is_open(const HttpConnection& connection)
{
    return connection.watcher.socket != INVALID_SOCKET_HANDLE;
}

void close_http(Server& server, HttpConnection& connection)
{
    close_watched_socket(server, connection.watcher);
    server.http.open--;
    // Assigned afresh, so a flood of scrapes leaves no memory behind.
    connection = HttpConnection{};
}

HttpConnection* free_slot(Server& server)
{
    for (HttpConnection& c : server.http.connections)
        if (!is_open(c))
            return &c;
    return nullptr;
}

// The connection that has waited longest without a whole request, or null
// when every one has sent its own. Deadlines follow accepts, so the
// earliest is the oldest.
HttpConnection* longest_stalled(Server& server)
{
    HttpConnection* oldest = nullptr;
    for (HttpConnection& c : server.http.connections)
        if (is_open(c) && !c.answering && (!oldest || c.deadline_ms < oldest->deadline_ms))
            oldest = &c;
    return oldest;
}

// Sets the answer's head (and its body, when made whole) as the piece in
// hand; a /sessions page adds its first piece, the rest to follow.
void begin_answer(Server& server, const HttpHead& head, HttpConnection& connection)
{
    connection.answering = true;
    std::string& out = connection.pending;
    switch (head.status) {
    case HttpHeadStatus::incomplete:
    case HttpHeadStatus::complete:
        break;
    case HttpHeadStatus::bad_request:
        out = http_error_response(HttpStatus::bad_request);
        return;
    case HttpHeadStatus::too_large:
        out = http_error_response(HttpStatus::header_fields_too_large);
        return;
    }
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
    int sent = platform.send(connection.watcher.socket, rest.data(), static_cast<int>(rest.size()), 0);
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
    char buffer[HTTP_HEAD_MAX + 1];
    const std::size_t room = sizeof buffer - connection.received.size();
    int n = platform.recv(connection.watcher.socket, buffer, static_cast<int>(room));
    if (n < 0 && sock_last_error() == WSAEWOULDBLOCK)
        return;
    if (n <= 0) {
        close_http(server, connection);
        return;
    }
    try {
        connection.received.append(buffer, static_cast<std::size_t>(n));
        HttpHead head = read_http_head(connection.reader, connection.received);
        if (head.status == HttpHeadStatus::incomplete)
            return;
        begin_answer(server, head, connection);
    } catch (const std::bad_alloc&) {
        close_http(server, connection);
        return;
    }
    // Read no more: what else the client sends is not looked at; what the
    // socket does not take at once waits for room.
    if (!watch(server, connection.watcher, Interest{.write = true})) {
        close_http(server, connection);
        return;
    }
    send_answer(server, connection);
}

} // namespace

void accept_http(Server& server, Listener& listener)
{
    PeerAddress peer;
    socket_handle sock = platform.accept(listener.watcher.socket, &peer);
    if (sock == INVALID_SOCKET_HANDLE) {
        if (sock_last_error() == WSAEMFILE)
            pause_accepts(server, listener);
        return;
    }
    listener.accepts_paused = false;
    if (platform.set_nonblocking(sock) != 0) {
        platform.close(sock);
        return;
    }
    HttpConnection* connection = free_slot(server);
    if (!connection && (connection = longest_stalled(server))) {
        close_http(server, *connection);
        server.metrics.http_evictions++;
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
    server.http.open++;
    connection->deadline_ms = platform.monotonic_ms() + HTTP_DEADLINE_MS;
    if (!watch(server, connection->watcher, Interest{.read = true}))
        close_http(server, *connection);
}

void watch_http(Server& server, std::int64_t now_ms, std::int64_t* until_ms)
{
    if (server.http.open == 0)
        return;
    for (HttpConnection& c : server.http.connections) {
        if (!is_open(c))
            continue;
        if (now_ms >= c.deadline_ms)
            close_http(server, c);
        else
            *until_ms = std::min(*until_ms, c.deadline_ms);
    }
}

void take_http_event(Server&, Watcher& watcher, const SocketEvent&)
{
    static_cast<HttpConnection*>(watcher.owner)->reported = true;
}

void serve_http(Server& server)
{
    if (server.http.open == 0)
        return;
    for (HttpConnection& c : server.http.connections) {
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
