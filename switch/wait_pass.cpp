#include "switch/wait_pass.h"

#include "switch/input_pass.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

void start_sets(const Server& server, SocketSet* read_set, SocketSet* except_set)
{
    socket_set_clear(read_set);
    socket_set_clear(except_set);
    // A listener closed after an exception report stays out of the sets:
    // naming a dead handle would make every later select fail.
    if (server.listener != INVALID_SOCKET_HANDLE) {
        socket_set_add(read_set, server.listener);
        socket_set_add(except_set, server.listener);
    }
}

// Returns true when it closed an idle session. Every session is looked at
// even when the sets are full, because the idle limit covers them all, and
// because a session beyond the sets still has its input pass.
//
// A session that already holds a whole line or frame is not read: its
// backlog would otherwise outgrow the input limit while the input pass takes
// one step a turn, and TCP holds the sender back meanwhile. It keeps its
// place in the exception set, so the sessions that get the set's slots are
// the same whether or not they are read.
bool close_idle_or_fill_sets(Server& server, std::time_t now, SocketSet* read_set,
                             SocketSet* except_set, bool* work_waiting)
{
    for (Session* s = server.sessions.first; s; s = s->next) {
        if (s->last_input < now - IDLE_TIMEOUT) {
            close_session(server, s, "timeout");
            return true;
        }
        bool whole_input = has_whole_input(*s);
        if (socket_set_add(except_set, s->client_socket) && !whole_input)
            socket_set_add(read_set, s->client_socket);
        if (SKIP_WAIT_WHEN_READY && whole_input)
            *work_waiting = true;
    }
    return false;
}

// "host [address]", or "[address]" when the reverse look-up is off or finds no name;
// cut to 255 characters, so a long host name can cut the address short.
void name_peer(Session* session, const PeerAddress* peer, bool numeric)
{
    char dotted[16];
    char host[1025];
    sock_dotted_address(peer, dotted);
    std::string name = std::string("[") + dotted + "]";
    if (!numeric && platform.reverse_lookup(peer, host, sizeof host))
        name = host + (" " + name);
    std::size_t length = std::min(name.size(), NAME_SIZE - 1);
    std::memcpy(session->peer_name, name.data(), length);
    session->peer_name[length] = '\0';
}

void accept_client(Server& server)
{
    // Without a record, take no connection: it stays pending and a later
    // call tries again.
    auto* session = static_cast<Session*>(mem_zalloc(sizeof(Session)));
    if (!session)
        return;
    PeerAddress peer{};
    socket_handle sock = platform.accept(server.listener, &peer);
    if (sock == INVALID_SOCKET_HANDLE) {
        platform.release(session);
        return;
    }
    session->client_socket = sock;
    session->state = SessionState::awaiting_login;
    link_at_end(server.sessions, session);
    platform.set_nonblocking(sock);
    name_peer(session, &peer, server.numeric_peer_names);
    log_event(server.log, platform.now(), "Connected to", session->peer_name);
    session->last_input = platform.now();
    send_text(sock, "login:");
}

// Reads one block; returns the session the walk goes on with.
Session* receive_from(Server& server, Session* session)
{
    char buffer[RECEIVE_SIZE];
    int n = platform.recv(session->client_socket, buffer, RECEIVE_SIZE);
    if (n < 0) {
        char reason[64];
        std::snprintf(reason, sizeof reason, "error %d on recv", sock_last_error());
        return close_session(server, session, reason);
    }
    // Only a session holding nothing whole is read, so at the end of its
    // stream every frame it sent has been relayed: what is left is a partial
    // frame or line, which dies with it.
    if (n == 0)
        return close_session(server, session, nullptr);

    session->last_input = platform.now();
    std::string_view block(buffer, static_cast<std::size_t>(n));
    char event[NAME_SIZE + 8];
    std::snprintf(event, sizeof event, "from %s", session->peer_name);
    log_received(server.log, session->last_input, event, block);
    if (!queue_append(session->input, block))
        return close_session(server, session, nullptr);
    if (session->input.length > RX_LIMIT)
        return close_session(server, session, "RX buffer overflow!\n");
    return session->next;
}

void serve_sessions(Server& server, const SocketSet* read_set, const SocketSet* except_set)
{
    Session* s = server.sessions.first;
    while (s) {
        if (socket_set_has(except_set, s->client_socket)) {
            s = close_session(server, s, nullptr);
            log_event(server.log, platform.now(), "srv", "socket exception");
        } else if (s->state == SessionState::broken) {
            s = close_session(server, s, nullptr);
        } else if (!socket_set_has(read_set, s->client_socket)) {
            s = s->next;
        } else {
            s = receive_from(server, s);
        }
    }
}

void close_failed_listener(Server& server, const SocketSet* except_set)
{
    if (server.listener == INVALID_SOCKET_HANDLE || !socket_set_has(except_set, server.listener))
        return;
    platform.close(server.listener);
    std::perror("TELNET socket exception\n");
    server.listener = INVALID_SOCKET_HANDLE;
}

} // namespace

void wait_pass(Server& server)
{
    SocketSet read_set;
    SocketSet except_set;
    start_sets(server, &read_set, &except_set);
    bool work_waiting = false;
    if (close_idle_or_fill_sets(server, platform.now(), &read_set, &except_set, &work_waiting))
        return;

    // With work already queued, sleeping would only delay it: the select
    // still runs, so accepts and reads happen exactly as in any other turn.
    int ready = platform.select(&read_set, &except_set, work_waiting ? 0 : WAIT_TIMEOUT_US);
    if (ready < 0) {
        // The sets are undefined after a failure; touching them could block
        // in accept or close every session. Try again next turn.
        log_event(server.log, platform.now(), "SOCKET ERROR in SWITCH_wait", "select\n");
        return;
    }
    if (ready == 0)
        return;

    if (server.listener != INVALID_SOCKET_HANDLE && socket_set_has(&read_set, server.listener))
        accept_client(server);
    serve_sessions(server, &read_set, &except_set);
    close_failed_listener(server, &except_set);
}
