#include "net/switch_wait.h"

#include "net/session.h"
#include "shell/event_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

socket_handle listen_socket = INVALID_SOCKET_HANDLE;

namespace {

void start_sets(SocketSet* read_set, SocketSet* except_set)
{
    socket_set_clear(read_set);
    socket_set_clear(except_set);
    // A listener closed after an exception report stays out of the sets:
    // naming a dead handle would make every later select fail.
    if (listen_socket != INVALID_SOCKET_HANDLE) {
        socket_set_add(read_set, listen_socket);
        socket_set_add(except_set, listen_socket);
    }
}

bool high_bit(char c)
{
    return (static_cast<unsigned char>(c) & 0x80) != 0;
}

// True when the input pass can take a step for the session without a new
// byte: a whole dialogue line, or a whole frame, already waits.
bool holds_whole_input(const Session* session)
{
    const ByteQueue& input = session->input;
    if (input.length == 0)
        return false;
    const char* begin = input.block;
    const char* end = begin + input.length;
    switch (session->session_state) {
    case ST_LOGIN:
    case ST_PASSWORD:
        return std::memchr(begin, '\n', input.length) != nullptr;
    case ST_ONLINE:
        return std::find_if(begin, end, high_bit) != end;
    default:
        return false;
    }
}

// Returns 1 when it closed an idle session. Every session is looked at even
// when the sets are full, because the idle limit covers them all, and
// because a session beyond the sets still has its input pass.
int close_idle_or_fill_sets(std::time_t now, SocketSet* read_set, SocketSet* except_set,
                            bool* work_waiting)
{
    for (Session* s = session_list->next_session; s; s = s->next_session) {
        if (s->last_input < now - IDLE_TIMEOUT) {
            close_session(s->client_socket, "timeout");
            return 1;
        }
        socket_set_add(read_set, s->client_socket);
        socket_set_add(except_set, s->client_socket);
        if (SKIP_WAIT_WHEN_READY && !*work_waiting)
            *work_waiting = holds_whole_input(s);
    }
    return 0;
}

// "host [address]", or "[address]" when the reverse look-up finds no name;
// cut to 255 characters, so a long host name can cut the address short.
void name_peer(Session* session, const PeerAddress* peer)
{
    char dotted[16];
    char host[1025];
    char name[sizeof host + sizeof dotted + 4];
    sock_dotted_address(peer, dotted);
    if (platform.reverse_lookup(peer, host, sizeof host))
        std::snprintf(name, sizeof name, "%s [%s]", host, dotted);
    else
        std::snprintf(name, sizeof name, "[%s]", dotted);
    std::size_t length = std::min(std::strlen(name), NAME_SIZE - 1);
    std::memcpy(session->peer_name, name, length);
    session->peer_name[length] = '\0';
}

void link_at_end(Session* session)
{
    Session* last = session_list;
    while (last->next_session)
        last = last->next_session;
    last->next_session = session;
}

void accept_client()
{
    // Without a record, take no connection: it stays pending and a later
    // call tries again.
    auto* session = static_cast<Session*>(mem_zalloc(sizeof(Session)));
    if (!session)
        return;
    PeerAddress peer{};
    socket_handle sock = platform.accept(listen_socket, &peer);
    if (sock == INVALID_SOCKET_HANDLE) {
        platform.release(session);
        return;
    }
    session->client_socket = sock;
    session->session_state = ST_LOGIN;
    link_at_end(session);
    platform.set_nonblocking(sock);
    name_peer(session, &peer);
    log_event(2, "Connected to", session->peer_name);
    session->last_input = platform.now();
    send_text(sock, "login:");
}

// Reads one block; returns the session the walk goes on with.
Session* receive_from(Session* session)
{
    char buffer[RECEIVE_SIZE + 1];
    socket_handle sock = session->client_socket;
    int n = platform.recv(sock, buffer, RECEIVE_SIZE);
    if (n < 0) {
        char reason[64];
        std::snprintf(reason, sizeof reason, "error %d on recv", sock_last_error());
        return close_session(sock, reason);
    }
    if (n == 0)
        return close_session(sock, nullptr);

    session->last_input = platform.now();
    buffer[n] = '\0';
    char event[NAME_SIZE + 8];
    std::snprintf(event, sizeof event, "from %s", session->peer_name);
    log_event(3, event, buffer);
    if (!queue_append(&session->input, buffer, static_cast<std::uint32_t>(n)))
        return close_session(sock, nullptr);
    if (session->input.length > RX_LIMIT)
        return close_session(sock, "RX buffer overflow!\n");
    return session->next_session;
}

void serve_sessions(const SocketSet* read_set, const SocketSet* except_set)
{
    Session* s = session_list->next_session;
    while (s) {
        if (socket_set_has(except_set, s->client_socket)) {
            s = close_session(s->client_socket, nullptr);
            log_event(1, "srv", "socket exception");
        } else if (s->session_state == ST_BROKEN) {
            s = close_session(s->client_socket, nullptr);
        } else if (!socket_set_has(read_set, s->client_socket)) {
            s = s->next_session;
        } else {
            s = receive_from(s);
        }
    }
}

void close_failed_listener(const SocketSet* except_set)
{
    if (listen_socket == INVALID_SOCKET_HANDLE || !socket_set_has(except_set, listen_socket))
        return;
    platform.close(listen_socket);
    std::perror("TELNET socket exception\n");
    listen_socket = INVALID_SOCKET_HANDLE;
}

} // namespace

int SWITCH_wait()
{
    SocketSet read_set;
    SocketSet except_set;
    start_sets(&read_set, &except_set);
    bool work_waiting = false;
    if (close_idle_or_fill_sets(platform.now(), &read_set, &except_set, &work_waiting))
        return 0;

    // With work already queued, sleeping would only delay it: the select
    // still runs, so accepts and reads happen exactly as in any other turn.
    int ready = platform.select(&read_set, &except_set, work_waiting ? 0 : WAIT_TIMEOUT_US);
    if (ready < 0) {
        // The sets are undefined after a failure; touching them could block
        // in accept or close every session. Try again next turn.
        log_event(0, "SOCKET ERROR in SWITCH_wait", "select\n");
        return 0;
    }
    if (ready == 0)
        return 0;

    if (listen_socket != INVALID_SOCKET_HANDLE && socket_set_has(&read_set, listen_socket))
        accept_client();
    serve_sessions(&read_set, &except_set);
    close_failed_listener(&except_set);
    return 0;
}
