#include "switch/wait_pass.h"

#include "switch/input_pass.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int EVENTS_PER_WAIT = 256;

// A token for the listener among the poller's owners; sessions are their
// own tokens.
void* listener_token(Server& server)
{
    return &server.listener;
}

// The last moment the session may stay silent; past it, it is closed.
std::int64_t idle_deadline_ms(const Session& s)
{
    // Received bytes do not extend the dialogue: without the deadline, a
    // client that never logs in could hold its slot for ever with a byte
    // every minute.
    bool in_dialogue = s.state == SessionState::awaiting_login ||
                       s.state == SessionState::awaiting_password;
    std::int64_t since = in_dialogue ? std::min(s.last_input_ms, s.connected_ms) : s.last_input_ms;
    return since + IDLE_TIMEOUT_MS;
}

// What the walk before the wait found out about how long it may sleep.
struct SleepPlan {
    std::int64_t until_ms;    // the earliest deadline
    bool work_waiting = false; // whole input is queued: no sleep at all
    // Something no event announces (a look-up's answer, a socket taking
    // output again) is looked for every WAIT_TIMEOUT_US.
    bool polling = false;
};

long wait_timeout_us(const SleepPlan& plan, std::int64_t now_ms)
{
    if (FIXED_WAIT)
        return WAIT_TIMEOUT_US;
    if (plan.work_waiting)
        return 0;
    long longest = plan.polling ? WAIT_TIMEOUT_US : LONGEST_SLEEP_US;
    std::int64_t until_us = (plan.until_ms - now_ms) * 1000;
    return static_cast<long>(std::clamp<std::int64_t>(until_us, 0, longest));
}

void watch_session(Server& server, Session& s, bool read)
{
    if (s.watched && s.read_watched == read)
        return;
    if (platform.watch(server.poller, s.client_socket, read, &s) != 0)
        return;
    s.watched = true;
    s.read_watched = read;
}

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
// one; cut to 255 characters, so a long host name can cut the address short.
void set_peer_name(Session& session, const char* host)
{
    char dotted[16];
    sock_dotted_address(&session.peer, dotted);
    std::string name = std::string("[") + dotted + "]";
    if (host && is_host_name(host))
        name = host + (" " + name);
    std::size_t length = std::min(name.size(), NAME_SIZE - 1);
    std::memcpy(session.peer_name, name.data(), length);
    session.peer_name[length] = '\0';
}

// The client is greeted once it has a name: the log line comes first.
// Returns false when the prompt failed and the session is gone.
bool greet(Server& server, Session& session, const char* host)
{
    session.naming = false;
    set_peer_name(session, host);
    log_event(server.log, platform.now(), "Connected to", session.peer_name);
    session.last_input_ms = platform.monotonic_ms();
    return send_prompt(server, session, "login:");
}

void greet_named_peers(Server& server)
{
    NameLookup answers[16];
    int n;
    while ((n = platform.lookup_collect(answers, 16)) > 0)
        for (int i = 0; i < n; i++) {
            auto* session = static_cast<Session*>(answers[i].owner);
            greet(server, *session, answers[i].found ? answers[i].host : nullptr);
        }
}

// Greets a session whose look-up passed its deadline, by its address, and
// notes the deadline of one still running. Returns false when the session
// is gone (its prompt failed).
bool name_by_deadline(Server& server, Session& s, std::int64_t now_ms, SleepPlan& plan)
{
    if (!s.naming)
        return true;
    if (now_ms >= s.naming_deadline_ms) {
        platform.lookup_cancel(&s);
        return greet(server, s, nullptr);
    }
    plan.polling = true;
    plan.until_ms = std::min(plan.until_ms, s.naming_deadline_ms);
    return true;
}

// The sessions beyond the served ones cost nothing per turn, however many
// wait. Never read, each is silent since its connect, so the first of them
// is the first to time out. Their look-ups end by deadline in order of
// acceptance too: only those accepted since a second before the last look
// can still be naming, and the walk back from the newest stops at the
// first older one.
bool close_idle_or_name_waiting(Server& server, std::int64_t now_ms, SleepPlan& plan)
{
    Session* first = server.first_waiting;
    std::int64_t deadline_ms = idle_deadline_ms(*first);
    if (now_ms > deadline_ms) {
        close_session(server, first, "timeout");
        return true;
    }
    plan.until_ms = std::min(plan.until_ms, deadline_ms + 1);
    Session* last_served = first->previous;
    std::int64_t checked_ms = server.names_checked_ms;
    server.names_checked_ms = now_ms;
    for (Session* s = server.sessions.last; s != last_served;) {
        Session* previous = s->previous;
        if (!s->naming && s->connected_ms + NAMING_DEADLINE_MS < checked_ms)
            break;
        name_by_deadline(server, *s, now_ms, plan);
        s = previous;
    }
    return false;
}

// Returns true when it closed a session that went quiet. The oldest
// max_clients sessions are served: looked at one by one and watched, for
// reads once they have a name. Notes in plan what the sessions leave the
// wait to do.
bool close_idle_or_watch(Server& server, std::int64_t now_ms, SleepPlan& plan)
{
    std::size_t served = 0;
    Session* s = server.sessions.first;
    while (s && served < server.max_clients) {
        Session* next = s->next;
        std::int64_t deadline_ms = idle_deadline_ms(*s);
        if (now_ms > deadline_ms) {
            close_session(server, s, "timeout");
            return true;
        }
        plan.until_ms = std::min(plan.until_ms, deadline_ms + 1);
        if (!name_by_deadline(server, *s, now_ms, plan)) {
            s = next;
            continue;
        }
        // A broken session is closed by the session walk after the wait.
        if (s->state == SessionState::broken || has_whole_input(*s))
            plan.work_waiting = true;
        if (s->output.length > 0)
            plan.polling = true;
        watch_session(server, *s, !s->naming);
        served++;
        s = next;
    }
    server.first_waiting = s;
    return s && close_idle_or_name_waiting(server, now_ms, plan);
}

void watch_listener(Server& server, std::int64_t now_ms, SleepPlan& plan)
{
    if (server.listener == INVALID_SOCKET_HANDLE || server.listener_watched)
        return;
    if (server.accepts_paused && now_ms < server.accepts_resume_ms) {
        plan.until_ms = std::min(plan.until_ms, server.accepts_resume_ms);
        return;
    }
    if (platform.watch(server.poller, server.listener, true, listener_token(server)) == 0)
        server.listener_watched = true;
}

// Without free descriptors accept fails at once and the listener stays
// readable: the loop would spin. Rest the listener a while, serve the
// clients already here, and say so once until an accept succeeds again.
void pause_accepts(Server& server)
{
    platform.unwatch(server.poller, server.listener);
    server.listener_watched = false;
    server.accepts_resume_ms = platform.monotonic_ms() + ACCEPT_PAUSE_MS;
    if (!server.accepts_paused)
        log_event(server.log, platform.now(), "srv", "out of descriptors: accepts paused");
    server.accepts_paused = true;
}

bool same_address(const PeerAddress& a, const PeerAddress& b)
{
    return std::memcmp(a.octets, b.octets, sizeof a.octets) == 0;
}

bool logging_in(const Session& s)
{
    return s.state == SessionState::awaiting_login || s.state == SessionState::awaiting_password;
}

// Whether the peer's address already has its share of connections in the
// login dialogue. Costs a walk of the sessions, once per accept.
bool dialogues_full(const Server& server, const PeerAddress& peer, bool* logged)
{
    std::size_t count = 0;
    *logged = false;
    for (const Session* s = server.sessions.first; s; s = s->next)
        if (logging_in(*s) && same_address(s->peer, peer)) {
            count++;
            *logged = *logged || s->refusals_logged;
        }
    return count >= server.max_dialogues_per_address;
}

// Closes the connection at once. Logged once for as long as one of the
// dialogues that filled the share remains, so a flood of connects costs the
// log one line a minute at most.
void refuse_connection(Server& server, socket_handle sock, const PeerAddress& peer, bool logged)
{
    platform.close(sock);
    if (logged)
        return;
    for (Session* s = server.sessions.first; s; s = s->next)
        if (logging_in(*s) && same_address(s->peer, peer))
            s->refusals_logged = true;
    char dotted[16];
    sock_dotted_address(&peer, dotted);
    char subject[80];
    std::snprintf(subject, sizeof subject, "too many logins pending from [%s]: new connections closed",
                  dotted);
    log_event(server.log, platform.now(), "srv", subject);
}

void accept_client(Server& server)
{
    // Without a record, take no connection: it stays pending and a later
    // call tries again.
    auto* session = static_cast<Session*>(mem_zalloc(sizeof(Session)));
    if (!session)
        return;
    socket_handle sock = platform.accept(server.listener, &session->peer);
    if (sock == INVALID_SOCKET_HANDLE) {
        if (sock_last_error() == WSAEMFILE)
            pause_accepts(server);
        platform.release(session);
        return;
    }
    server.accepts_paused = false;
    bool logged;
    if (dialogues_full(server, session->peer, &logged)) {
        refuse_connection(server, sock, session->peer, logged);
        platform.release(session);
        return;
    }
    // A blocking client socket would stall the loop in its first read.
    if (platform.set_nonblocking(sock) != 0) {
        platform.close(sock);
        platform.release(session);
        return;
    }
    session->client_socket = sock;
    session->state = SessionState::awaiting_login;
    link_at_end(server.sessions, session);
    session->last_input_ms = session->connected_ms = platform.monotonic_ms();
    if (server.numeric_peer_names || platform.lookup_start(&session->peer, session) != 0) {
        greet(server, *session, nullptr);
        return;
    }
    session->naming = true;
    session->naming_deadline_ms = session->connected_ms + NAMING_DEADLINE_MS;
}

// Offsets into a received block.
struct ByteRange {
    std::size_t begin;
    std::size_t end;
};

// The part of a new block that belongs to the password line, which the log
// must never hold. The line is the second of the stream in the login state
// (clients often send both lines at once) and the first unconsumed one in
// the password state; it may come over several blocks. The stream is the
// queued bytes followed by the block; the line end is not part of the line.
ByteRange password_in_block(SessionState state, std::string_view queued, std::string_view block)
{
    if (state != SessionState::awaiting_login && state != SessionState::awaiting_password)
        return {};
    const std::size_t total = queued.size() + block.size();
    auto at = [&](std::size_t i) { return i < queued.size() ? queued[i] : block[i - queued.size()]; };
    auto line_feed_from = [&](std::size_t i) {
        while (i < total && at(i) != '\n')
            i++;
        return i;
    };
    std::size_t begin = 0;
    if (state == SessionState::awaiting_login) {
        std::size_t login_end = line_feed_from(0);
        if (login_end == total)
            return {};
        begin = login_end + 1;
    }
    std::size_t end = line_feed_from(begin);
    if (end < total && end > begin && at(end - 1) == '\r')
        end--;
    const std::size_t offset = queued.size();
    return {std::max(begin, offset) - offset, std::max(end, offset) - offset};
}

// How much one call may take: whole blocks, as many as fit under the input
// limit, so that reading ahead never closes a session that block by block
// would have stopped being read at its next frame end. A session that has
// no room left is still read one block, which overflows as it always did.
int receive_size(const Session& session)
{
    std::uint32_t room = session.input.length < RX_LIMIT ? RX_LIMIT - session.input.length : 0;
    std::uint32_t blocks = std::clamp<std::uint32_t>(room / RECEIVE_SIZE, 1, RECEIVE_BLOCKS);
    return static_cast<int>(blocks * RECEIVE_SIZE);
}

// Each block gets its own line, its password part masked.
void log_block(Server& server, const Session& session, std::time_t now, const char* event,
               std::string_view block)
{
    ByteRange secret = password_in_block(session.state, queue_bytes(session.input), block);
    log_received(server.log, now, event, block, secret.begin, secret.end);
}

// Reads what is waiting, in blocks; returns the session the walk goes on
// with.
Session* receive_from(Server& server, Session* session)
{
    char buffer[RECEIVE_BLOCKS * RECEIVE_SIZE];
    int n = platform.recv(session->client_socket, buffer, receive_size(*session));
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

    session->last_input_ms = platform.monotonic_ms();
    const std::time_t now = platform.now();
    std::string_view received(buffer, static_cast<std::size_t>(n));
    char event[NAME_SIZE + 8];
    std::snprintf(event, sizeof event, "from %s", session->peer_name);
    for (std::size_t at = 0; at < received.size(); at += RECEIVE_SIZE) {
        std::string_view block = received.substr(at, RECEIVE_SIZE);
        log_block(server, *session, now, event, block);
        if (!queue_append(session->input, block))
            return close_session(server, session, nullptr);
        if (session->input.length > RX_LIMIT)
            return close_session(server, session, "RX buffer overflow!\n");
    }
    return session->next;
}

// Notes what the wait reported; returns whether the listener is readable
// and whether it failed.
void take_events(Server& server, const SocketEvent* events, int n, bool* accept_waiting,
                 bool* listener_failed)
{
    for (int i = 0; i < n; i++) {
        if (events[i].owner == listener_token(server)) {
            *accept_waiting = events[i].readable;
            *listener_failed = events[i].exception;
            continue;
        }
        auto* session = static_cast<Session*>(events[i].owner);
        session->reported_readable = events[i].readable && session->read_watched;
        session->reported_exception = events[i].exception;
        session->reported_hangup = events[i].hung_up && !session->read_watched;
    }
}

// Not watched for reads (while its name is looked up), a socket that hung
// up or failed would be reported again by every wait: it is taken now, a
// client still unnamed named by its address, and the read says how it
// ended.
Session* take_hangup(Server& server, Session* session)
{
    if (session->naming) {
        platform.lookup_cancel(session);
        session->naming = false;
        set_peer_name(*session, nullptr);
        log_event(server.log, platform.now(), "Connected to", session->peer_name);
    }
    return receive_from(server, session);
}

void serve_sessions(Server& server)
{
    Session* s = server.sessions.first;
    while (s && s != server.first_waiting) {
        bool readable = s->reported_readable;
        bool exception = s->reported_exception;
        bool hangup = s->reported_hangup;
        s->reported_readable = s->reported_exception = s->reported_hangup = false;
        if (exception) {
            s = close_session(server, s, nullptr);
            log_event(server.log, platform.now(), "srv", "socket exception");
        } else if (s->state == SessionState::broken) {
            s = close_session(server, s, nullptr);
        } else if (hangup) {
            s = take_hangup(server, s);
        } else if (readable && !has_whole_input(*s)) {
            // A session that already holds a whole line or frame is not
            // read: its backlog would otherwise outgrow the input limit
            // while the input pass takes one step a turn, and TCP holds the
            // sender back meanwhile. Its socket stays watched; the wait does
            // not sleep while whole input waits anyway.
            s = receive_from(server, s);
        } else {
            s = s->next;
        }
    }
}

void close_failed_listener(Server& server)
{
    platform.unwatch(server.poller, server.listener);
    platform.close(server.listener);
    std::perror("TELNET socket exception\n");
    server.listener = INVALID_SOCKET_HANDLE;
    server.listener_watched = false;
}

} // namespace

void wait_pass(Server& server)
{
    greet_named_peers(server);
    std::int64_t now_ms = platform.monotonic_ms();
    SleepPlan plan{now_ms + LONGEST_SLEEP_US / 1000};
    if (close_idle_or_watch(server, now_ms, plan))
        return;
    watch_listener(server, now_ms, plan);

    // With work already queued, sleeping would only delay it: the wait
    // still runs, so accepts and reads happen exactly as in any other turn.
    SocketEvent events[EVENTS_PER_WAIT];
    int ready = platform.wait(server.poller, events, EVENTS_PER_WAIT, wait_timeout_us(plan, now_ms));
    if (ready < 0) {
        // What was reported means nothing after a failure; touching it
        // could block in accept or close every session. Try again next turn.
        log_event(server.log, platform.now(), "SOCKET ERROR in SWITCH_wait", "select\n");
        return;
    }

    bool accept_waiting = false;
    bool listener_failed = false;
    take_events(server, events, ready, &accept_waiting, &listener_failed);
    if (accept_waiting) {
        accept_client(server);
        // A name found at once greets the client before anyone is read.
        greet_named_peers(server);
    }
    // Also in a turn without events: a broken session must not wait for one.
    serve_sessions(server);
    if (listener_failed)
        close_failed_listener(server);
}
