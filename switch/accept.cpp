#include "switch/listener.h"

#include "switch/old_texts.h"
#include "switch/server.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <optional>
#include <string>

namespace {

// The resolver's answer comes from whoever runs the peer's reverse zone:
// anything but a host name's characters (a line break, an escape) would go
// raw into every log line about the peer.
bool is_host_name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

bool is_host_name(const char* host)
{
    for (const char* c = host; *c; c++)
        if (!is_host_name_char(*c))
            return false;
    return *host != '\0';
}

// "host [address]", or "[address]" when there is no host name or it is not
// one, then the transport's mark ("host [address] tls"); cut to 255
// characters, so a long host name can cut the address short. With log
// identity the source port and the session's number follow the address
// ("host [address]:53012 tls #17"), and only the host name is ever cut.
void set_peer_name(const Server& server, Session& session, const char* host)
{
    char dotted[ADDRESS_TEXT_SIZE];
    sock_dotted_address(&session.peer, dotted);
    std::string name = std::string("[") + dotted + "]";
    if (host && is_host_name(host))
        name = host + (" " + name);
    std::string tail = session.transport.layer->peer_name_suffix;
    if (server.log_identity) {
        // Piece by piece: GCC 12 warns wrongly about a chain of string
        // additions that begins with a literal.
        tail.insert(0, std::to_string(session.peer.port)).insert(0, 1, ':');
        tail.append(" #").append(std::to_string(session.accept_number));
        if (name.size() + tail.size() >= NAME_SIZE)
            name.erase(0, name.size() + tail.size() - (NAME_SIZE - 1));
    }
    name += tail;
    std::size_t length = std::min(name.size(), NAME_SIZE - 1);
    std::memcpy(session.peer_name, name.data(), length);
    session.peer_name[length] = '\0';
}

bool logging_in(const Session& s)
{
    return s.state == SessionState::awaiting_login || s.state == SessionState::awaiting_password ||
           s.state == SessionState::checking_password;
}

// The source with the most sessions in the login dialogue, when that is
// more than its share; none without memory to count them. Costs a walk of
// the sessions, and a look-up per session in the dialogue.
std::optional<SourceKey> crowding_source(const Server& server)
{
    std::optional<SourceKey> most;
    std::size_t most_count = server.max_dialogues_per_address;
    try {
        std::map<SourceKey, std::size_t> dialogues;
        for (const Session* s = server.sessions.first; s; s = s->next) {
            if (!logging_in(*s))
                continue;
            SourceKey key = source_key(s->peer);
            std::size_t count = ++dialogues[key];
            if (count > most_count) {
                most = key;
                most_count = count;
            }
        }
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    return most;
}

// Said once for as long as one of the source's dialogues that were there
// when it was said remains, so a flood of connects costs the log one line
// a minute at most. Costs a walk of the sessions.
void say_crowding_once(Server& server, const SourceKey& crowding, const PeerAddress& peer)
{
    bool said = false;
    for (Session* s = server.sessions.first; s; s = s->next)
        if (logging_in(*s) && source_key(s->peer) == crowding) {
            said = said || s->dialogue.refusals_logged;
            s->dialogue.refusals_logged = true;
        }
    if (said)
        return;
    char dotted[ADDRESS_TEXT_SIZE];
    sock_dotted_address(&peer, dotted);
    char subject[ADDRESS_TEXT_SIZE + 64];
    std::snprintf(subject, sizeof subject, "too many logins pending from [%s]: new connections closed",
                  dotted);
    log_event(server.log, platform.now(), "srv", subject);
}

// A session still waiting for its name is named by its address first, so
// its close names it too.
void close_crowding(Server& server, Session& session)
{
    if (session.dialogue.naming)
        name_without_greeting(server, session);
    close_session(server, session, "too many logins pending", Disconnect::refused);
}

// While a served slot is free, any source may hold any number of
// dialogues. Once every slot is taken and a connection from another source
// waits, the source with the most dialogues past its share gives way: its
// connections that wait ahead of that one are closed, and so is its newest
// served dialogue, whose slot the other connection takes (sessions are
// served in the order they came). One host then cannot hold every slot
// with connections that never log in, and a busy gateway still has all
// its clients served while there is room. Frees at most one slot per
// accept; costs walks of the sessions and a look-up per session.
void make_room_for_another_source(Server& server)
{
    promote_waiting(server);
    Session* waiting = server.first_waiting;
    if (!waiting)
        return;
    std::optional<SourceKey> crowding = crowding_source(server);
    if (!crowding)
        return;
    Session* other = waiting;
    while (other && source_key(other->peer) == *crowding)
        other = other->next;
    if (!other)
        return;
    Session* newest_served = nullptr;
    for (Session* s = server.sessions.first; s != waiting; s = s->next)
        if (logging_in(*s) && source_key(s->peer) == *crowding)
            newest_served = s;
    say_crowding_once(server, *crowding, newest_served ? newest_served->peer : waiting->peer);
    while (waiting != other) {
        Session* next = waiting->next;
        close_crowding(server, *waiting);
        waiting = next;
    }
    if (newest_served)
        close_crowding(server, *newest_served);
}

} // namespace

// Without free descriptors accept fails at once and the listener stays
// readable: the loop would spin. Rest the listener a while, serve the
// clients already here, and say so once until an accept succeeds again.
void pause_accepts(Server& server, Listener& listener)
{
    unwatch(server, listener.watcher);
    listener.accepts_resume_ms = platform.monotonic_ms() + ACCEPT_PAUSE_MS;
    if (!listener.accepts_paused)
        log_event(server.log, platform.now(), "srv", "out of descriptors: accepts paused");
    listener.accepts_paused = true;
}

bool add_listener(Server& server, socket_handle socket, ListenerKind kind, const Transport* transport)
{
    if (server.listener_count == MAX_LISTENERS)
        return false;
    Listener& listener = server.listeners[server.listener_count++];
    listener = Listener{
        .kind = kind,
        .watcher = Watcher{
            .take_event = take_listener_event,
            .owner = &listener,
            .socket = socket,
            .kind = WatcherKind::listener,
            .interest = {},
            .watched = false,
        },
        .transport = transport,
        .accepts_resume_ms = 0,
        .accepts_paused = false,
    };
    return true;
}

// Costs a look at each listener (at most MAX_LISTENERS) per turn.
void watch_listeners(Server& server, std::int64_t now_ms, std::int64_t* until_ms)
{
    for (std::size_t i = 0; i < server.listener_count; i++) {
        Listener& listener = server.listeners[i];
        if (listener.watcher.socket == INVALID_SOCKET_HANDLE || listener.watcher.watched)
            continue;
        if (listener.accepts_paused && now_ms < listener.accepts_resume_ms) {
            *until_ms = std::min(*until_ms, listener.accepts_resume_ms);
            continue;
        }
        watch(server, listener.watcher, Interest{.read = true});
    }
}

void take_listener_event(Server& server, Watcher& watcher, const SocketEvent& event)
{
    if (!event.readable)
        return;
    accept_from(server, *static_cast<Listener*>(watcher.owner));
    // A name found at once greets the client before anyone is read.
    greet_named_peers(server);
}

namespace {

// A connection not taken after all: its socket goes, and so does its
// record.
void drop_connection(socket_handle sock, Session* session)
{
    platform.close(sock);
    platform.release(session);
}

} // namespace

void accept_from(Server& server, Listener& listener)
{
    switch (listener.kind) {
    case ListenerKind::switch_clients:
        break;
    case ListenerKind::metrics_http:
        accept_http(server, server.http, listener);
        return;
    case ListenerKind::web:
    case ListenerKind::secure_web:
        accept_http(server, server.web, listener);
        return;
    }
    // Without a record (or room for its deadline), take no connection: it
    // stays pending and a later call tries again.
    Session* session = new_session(server);
    if (!session)
        return;
    socket_handle sock = platform.accept(listener.watcher.socket, &session->peer);
    if (sock == INVALID_SOCKET_HANDLE) {
        if (sock_last_error() == WSAEMFILE)
            pause_accepts(server, listener);
        platform.release(session);
        return;
    }
    listener.accepts_paused = false;
    // A blocking client socket would stall the loop in its first read.
    if (turned_away(server, session->peer) || platform.set_nonblocking(sock) != 0) {
        drop_connection(sock, session);
        return;
    }
    take_client(server, *session, sock, *listener.transport);
}

Session* new_session(Server& server)
{
    if (!idle_reserve(server.idle))
        return nullptr;
    return static_cast<Session*>(mem_zalloc(sizeof(Session)));
}

bool turned_away(Server& server, const PeerAddress& peer)
{
    // Shut out for its refused logins: closed before the prompt, unlogged
    // (the episode's start was).
    return shut_out(server, peer);
}

void take_client(Server& server, Session& session, socket_handle sock, const Transport& transport)
{
    server.metrics.connections_total++;
    session.transport.socket = sock;
    session.transport.layer = &transport;
    if (!session.transport.layer->open(server, session)) {
        session.transport.layer->release(session);
        drop_connection(sock, &session);
        return;
    }
    session.state = SessionState::awaiting_login;
    session.input.last_ms = session.connected_ms = platform.monotonic_ms();
    session.dialogue.naming =
        !server.numeric_peer_names && platform.lookup_start(server.resolver, &session.peer, &session) == 0;
    // Cannot fail: room for its deadline was made with the record.
    admit_session(server, session);
    make_room_for_another_source(server);
    if (session.dialogue.naming)
        push_back(server.work.naming, session);
    else
        greet(server, session, nullptr);
}

void close_failed_listener(Server& server, Listener& listener)
{
    if (listener.watcher.socket == INVALID_SOCKET_HANDLE)
        return;
    close_watched_socket(server, listener.watcher);
    std::perror(old_text::LISTENER_EXCEPTION);
}

void greet(Server& server, Session& session, const char* host)
{
    session.dialogue.naming = false;
    remove(server.work.naming, session);
    set_peer_name(server, session, host);
    log_event(server.log, platform.now(), "Connected to", session.peer_name);
    session.input.last_ms = platform.monotonic_ms();
    session.dialogue.handshaking = true;
    refresh_watch(server, session);
    advance_handshake(server, session);
}

void advance_handshake(Server& server, Session& session)
{
    if (session.place.closing)
        return;
    const char* failure = "";
    const HandshakeStep step = session.transport.layer->handshake(session, &failure);
    if (step == HandshakeStep::failed) {
        char reason[200];
        std::snprintf(reason, sizeof reason, "%s handshake failed: %s", session.transport.layer->name, failure);
        close_session(server, session, reason, Disconnect::recv_error);
        return;
    }
    // Pending, the handshake may wait for the socket to take its bytes.
    refresh_watch(server, session);
    if (step == HandshakeStep::pending)
        return;
    session.dialogue.handshaking = false;
    // What the client sent with the handshake waits inside the transport,
    // and makes no event when the handshake ends at the greeting.
    if (send_prompt(server, session, "login:") && session.transport.layer->has_buffered_input(session))
        push_back(server.work.serve, session);
}

void greet_named_peers(Server& server)
{
    NameLookup answers[16];
    int n;
    while ((n = platform.lookup_collect(server.resolver, answers, 16)) > 0)
        for (int i = 0; i < n; i++) {
            auto* session = static_cast<Session*>(answers[i].owner);
            greet(server, *session, answers[i].found ? answers[i].host : nullptr);
        }
}

void name_without_greeting(Server& server, Session& session)
{
    platform.lookup_cancel(server.resolver, &session);
    session.dialogue.naming = false;
    remove(server.work.naming, session);
    set_peer_name(server, session, nullptr);
    log_event(server.log, platform.now(), "Connected to", session.peer_name);
}
