#include "switch/http_port.h"

#include "switch/listener.h"
#include "switch/server.h"

#include <algorithm>
#include <functional>
#include <new>
#include <vector>

namespace {

void close_http(Server& server, HttpConnection& connection)
{
    if (connection.watched)
        platform.unwatch(server.poller, connection.socket);
    platform.close(connection.socket);
    server.http.open--;
    // Assigned afresh, so a flood of scrapes leaves no memory behind.
    connection = HttpConnection{};
}

HttpConnection* free_slot(Server& server)
{
    for (HttpConnection& c : server.http.connections)
        if (c.socket == INVALID_SOCKET_HANDLE)
            return &c;
    return nullptr;
}

SessionPhase phase_of(const Session& session, bool waiting)
{
    if (waiting)
        return SessionPhase::waiting;
    if (session.state == SessionState::awaiting_login || session.state == SessionState::awaiting_password ||
        session.state == SessionState::checking_password)
        return SessionPhase::dialogue;
    return SessionPhase::online;
}

std::string answer(Server& server, const HttpHead& head)
{
    switch (head.status) {
    case HttpHeadStatus::incomplete:
    case HttpHeadStatus::complete:
        break;
    case HttpHeadStatus::bad_request:
        return http_error_response(HttpStatus::bad_request);
    case HttpHeadStatus::too_large:
        return http_error_response(HttpStatus::header_fields_too_large);
    }
    if (head.method != "GET")
        return http_error_response(HttpStatus::method_not_allowed);
    if (head.path == "/metrics")
        return http_response(HttpStatus::ok, METRICS_CONTENT_TYPE, metrics_document(server));
    if (head.path == "/sessions")
        return http_response(HttpStatus::ok, SESSIONS_CONTENT_TYPE, sessions_document(server));
    return http_error_response(HttpStatus::not_found);
}

// Offers the rest of the answer; the connection is closed once it is sent,
// or when the socket fails. Returns whether it is still open.
bool send_answer(Server& server, HttpConnection& connection)
{
    std::string_view rest = std::string_view(connection.response).substr(connection.sent);
    int sent = platform.send(connection.socket, rest.data(), static_cast<int>(rest.size()), 0);
    if (sent < 0 && sock_last_error() == WSAEWOULDBLOCK)
        return true;
    if (sent >= 0)
        connection.sent += static_cast<std::size_t>(sent);
    if (sent < 0 || connection.sent == connection.response.size()) {
        close_http(server, connection);
        return false;
    }
    return true;
}

// Reads what came and answers once the head is whole (or cannot be). The
// answer is made here, in the loop, so nothing else touches the server.
void read_request(Server& server, HttpConnection& connection)
{
    char buffer[HTTP_HEAD_MAX + 1];
    const std::size_t room = sizeof buffer - connection.received.size();
    int n = platform.recv(connection.socket, buffer, static_cast<int>(room));
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
        connection.response = answer(server, head);
    } catch (const std::bad_alloc&) {
        close_http(server, connection);
        return;
    }
    // Read no more: what else the client sends is not looked at.
    if (platform.watch(server.poller, connection.socket, false, &connection) != 0) {
        close_http(server, connection);
        return;
    }
    send_answer(server, connection);
}

} // namespace

void accept_http(Server& server, Listener& listener)
{
    PeerAddress peer;
    socket_handle sock = platform.accept(listener.socket, &peer);
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
    if (!connection) {
        // One try, without waiting: a new socket's buffer takes these few
        // bytes, and if it does not, the close says enough.
        std::string busy = http_error_response(HttpStatus::service_unavailable);
        platform.send(sock, busy.data(), static_cast<int>(busy.size()), 0);
        platform.close(sock);
        return;
    }
    connection->socket = sock;
    server.http.open++;
    connection->deadline_ms = platform.monotonic_ms() + HTTP_DEADLINE_MS;
}

HttpConnection* http_connection_of(Server& server, const void* owner)
{
    // One range check, so a session's event costs no walk of the slots;
    // std::less orders pointers into different objects too.
    auto& slots = server.http.connections;
    std::less<const void*> before;
    if (before(owner, slots.data()) || !before(owner, slots.data() + slots.size()))
        return nullptr;
    for (HttpConnection& c : slots)
        if (owner == &c)
            return &c;
    return nullptr;
}

void watch_http(Server& server, std::int64_t now_ms, std::int64_t* until_ms, bool* polling)
{
    if (server.http.open == 0)
        return;
    for (HttpConnection& c : server.http.connections) {
        if (c.socket == INVALID_SOCKET_HANDLE)
            continue;
        if (now_ms >= c.deadline_ms) {
            close_http(server, c);
            continue;
        }
        if (!c.response.empty() && !send_answer(server, c))
            continue;
        *until_ms = std::min(*until_ms, c.deadline_ms);
        if (!c.response.empty()) {
            *polling = true;
            continue;
        }
        if (!c.watched && platform.watch(server.poller, c.socket, true, &c) == 0)
            c.watched = true;
    }
}

void serve_http(Server& server)
{
    if (server.http.open == 0)
        return;
    for (HttpConnection& c : server.http.connections) {
        bool reported = c.reported;
        c.reported = false;
        if (reported && c.socket != INVALID_SOCKET_HANDLE && c.response.empty())
            read_request(server, c);
    }
}

// Fills the gauges with a walk of the sessions and their address counts:
// O(n) in the sessions, once per scrape.
std::string metrics_document(const Server& server)
{
    Metrics metrics = server.metrics;
    metrics.sessions = {};
    bool waiting = false;
    for (const Session* s = server.sessions.first; s; s = s->next) {
        waiting = waiting || s == server.first_waiting;
        sessions_in(metrics, phase_of(*s, waiting))++;
        metrics.addresses += static_cast<std::int64_t>(s->addresses.count);
        metrics.output_queued_bytes += s->output.length;
    }
    metrics.log_lines = server.log.lines_total;
    metrics.console_lines_skipped = server.log.console_skipped_total;
    return render_metrics(metrics, server.http.version);
}

// O(n) in the sessions and their addresses, once per request.
std::string sessions_document(const Server& server)
{
    const std::int64_t now_ms = platform.monotonic_ms();
    std::vector<SessionRow> rows;
    bool waiting = false;
    for (const Session* s = server.sessions.first; s; s = s->next) {
        waiting = waiting || s == server.first_waiting;
        rows.push_back(SessionRow{
            .peer_name = s->peer_name,
            .port = s->peer.port,
            .phase = phase_of(*s, waiting),
            .login = server.logins.users_given ? std::optional<std::string_view>(s->login_name) : std::nullopt,
            .addresses = names_held(*s),
            .queued_output_bytes = s->output.length,
            .seconds_connected = (now_ms - s->connected_ms) / 1000,
            .seconds_since_input = (now_ms - s->last_input_ms) / 1000,
        });
    }
    return render_sessions_json(rows);
}
