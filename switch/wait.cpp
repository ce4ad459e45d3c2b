#include "switch/wait.h"

#include "switch/http_port.h"
#include "switch/input_pass.h"
#include "switch/listener.h"
#include "switch/old_texts.h"
#include "switch/output_pass.h"
#include "switch/receive.h"

#include <algorithm>
#include <limits>

namespace {

constexpr int EVENTS_PER_WAIT = 256;
constexpr std::int64_t NO_DEADLINE = std::numeric_limits<std::int64_t>::max();

bool in_dialogue(const Session& s)
{
    return s.state == SessionState::awaiting_login || s.state == SessionState::awaiting_password ||
           s.state == SessionState::checking_password;
}

// Moves the sessions whose limit has passed from the idle timers to the
// expired list. A key that comes due for a session whose input has renewed
// its limit is moved on instead. Costs O(log n) per key that comes due.
void collect_expired(Server& server, std::int64_t now_ms)
{
    while (Session* s = idle_first(server.idle)) {
        if (now_ms <= s->place.idle_key_ms)
            return;
        const std::int64_t deadline_ms = idle_deadline_ms(*s);
        if (now_ms <= deadline_ms) {
            idle_postpone(server.idle, *s, deadline_ms);
            continue;
        }
        idle_erase(server.idle, *s);
        push_back(server.work.expired, *s);
    }
}

// The first session in order of acceptance that is silent past its limit.
// One that has logged in since it was found expired has a later limit, and
// goes back to the timers. Costs a sort of the expired sessions: one as a
// rule; after a pause of the whole server, all, once.
Session* first_expired(Server& server, std::int64_t now_ms)
{
    sort_by_acceptance(server.work.expired);
    while (Session* s = server.work.expired.first) {
        const std::int64_t deadline_ms = idle_deadline_ms(*s);
        if (now_ms > deadline_ms)
            return s;
        remove(server.work.expired, *s);
        idle_insert(server.idle, *s, deadline_ms);
    }
    return nullptr;
}

std::int64_t naming_deadline_ms(const Session& s)
{
    return s.connected_ms + NAMING_DEADLINE_MS;
}

// Greets by their addresses, in order of acceptance, the clients whose
// look-ups passed their deadline, up to the one accepted as `before`.
void name_by_deadline(Server& server, std::int64_t now_ms, std::uint64_t before)
{
    while (Session* s = server.work.naming.first) {
        if (now_ms < naming_deadline_ms(*s) || s->accept_number >= before)
            return;
        platform.lookup_cancel(server.resolver, s);
        greet(server, *s, nullptr);
    }
}

// Closes the first session, in order of acceptance, that has been silent
// past its limit; returns whether it did. The look-ups of the sessions
// before it that passed their deadline are ended first, as a walk of the
// sessions in order would. At most one session a turn, so a turn that
// closes one does not wait, accept or read: every silent session goes in
// its own turn, in order.
bool close_first_idle(Server& server, std::int64_t now_ms)
{
    collect_expired(server, now_ms);
    Session* idle = first_expired(server, now_ms);
    name_by_deadline(server, now_ms, idle ? idle->accept_number : std::numeric_limits<std::uint64_t>::max());
    if (!idle)
        return false;
    close_session(server, *idle, "timeout", Disconnect::timeout);
    return true;
}

std::int64_t stall_deadline_ms(const Session& s)
{
    return s.output.stalled_since_ms + SEND_STALL_LIMIT_MS;
}

// A receiver whose socket has taken nothing of its output for the whole
// limit gets one more send in this turn's output pass; refused, it is
// closed there.
void offer_stalled_output(Server& server, std::int64_t now_ms)
{
    Session* next = nullptr;
    for (Session* s = server.work.stalled.first; s && now_ms >= stall_deadline_ms(*s); s = next) {
        next = next_on(server.work.stalled, *s);
        if (!is_listed(server.work.output, *s)) {
            push_back(server.work.output, *s);
            refresh_watch(server, *s);
        }
    }
}

// A session whose whole line or frame waits needs no event: the wait must
// not sleep. Costs a look at each session on the input list.
bool whole_input_waits(Server& server)
{
    for (Session* s = server.work.input.first; s; s = next_on(server.work.input, *s))
        if (has_whole_input(*s))
            return true;
    return false;
}

// Work the wait must not sleep on: whole input, sessions to serve without
// an event (broken ones, input waiting inside a transport), output to offer
// now, and held output or lines for the next turn that reads nothing more.
bool work_waiting(Server& server)
{
    if (server.work.serve.count > 0 || held_work_waiting(server.schedule) || whole_input_waits(server) ||
        cluster_has_frames(server))
        return true;
    for (Session* s = server.work.output.first; s; s = next_on(server.work.output, *s))
        if (!held_back(server.schedule, *s->transport.layer, s->output.queue.length))
            return true;
    return false;
}

// The first moment something is due that no socket announces: a silent
// session's limit, a look-up's or a stalled receiver's, a resting
// listener's, a scrape's, the end of a gathering, the caller's own timers.
std::int64_t next_deadline_ms(const Server& server, std::int64_t listeners_ms, std::int64_t http_ms)
{
    std::int64_t until_ms = std::min(listeners_ms, http_ms);
    if (const Session* s = idle_first(server.idle))
        until_ms = std::min(until_ms, s->place.idle_key_ms + 1);
    if (const Session* s = server.work.naming.first)
        until_ms = std::min(until_ms, naming_deadline_ms(*s));
    if (const Session* s = server.work.stalled.first)
        until_ms = std::min(until_ms, stall_deadline_ms(*s));
    if (const std::int64_t gathered_ms = gathering_ends_ms(server.schedule))
        until_ms = std::min(until_ms, gathered_ms);
    if (server.wake_by_ms != 0)
        until_ms = std::min(until_ms, server.wake_by_ms);
    if (const std::int64_t cluster_ms = cluster_deadline_ms(server))
        until_ms = std::min(until_ms, cluster_ms);
    return until_ms;
}

// The poller's time-out: none with work waiting, else until the next
// deadline, else until an event comes (a negative time-out).
long wait_timeout_us(Server& server, std::int64_t now_ms, std::int64_t until_ms)
{
    if (FIXED_WAIT)
        return WAIT_TIMEOUT_US;
    if (work_waiting(server))
        return 0;
    if (until_ms == NO_DEADLINE)
        return -1;
    const std::int64_t until_us = std::max<std::int64_t>(until_ms - now_ms, 0) * 1000;
    return static_cast<long>(std::min<std::int64_t>(until_us, std::numeric_limits<long>::max()));
}

// Not watched for reads (while its name is looked up), a socket that hung
// up or failed would be reported again by every wait: it is taken now, a
// client still unnamed named by its address, and the read that follows
// says how it ended.
void take_hangup(Server& server, Session& session)
{
    if (session.dialogue.naming)
        name_without_greeting(server, session);
    receive_from(server, session);
}

// Serves one session after the wait, as the wait reported it.
void serve_session(Server& server, Session& s)
{
    const bool readable = s.place.readable;
    const bool writable = s.place.writable;
    const bool exception = s.place.exception;
    const bool hangup = s.place.hung_up;
    s.place.readable = s.place.writable = s.place.exception = s.place.hung_up = false;
    if (exception) {
        close_session(server, s, nullptr, Disconnect::recv_error);
        log_event(server.log, platform.now(), "srv", "socket exception");
        return;
    }
    if (s.state == SessionState::broken) {
        // Its output queue could not take a frame: a receiver that does
        // not read.
        close_session(server, s, nullptr, Disconnect::overflow);
        return;
    }
    if (hangup) {
        take_hangup(server, s);
        return;
    }
    if (writable)
        output_has_room(server, s);
    // Bytes inside the transport never make the socket readable; what the
    // transport has to write is retried by reading on, as it asks.
    const bool transport_ready = s.transport.layer->has_buffered_input(s) || (writable && s.transport.layer->wants_write(s));
    if (s.dialogue.handshaking) {
        if (readable || transport_ready)
            advance_handshake(server, s);
        // Bytes the client sent with the handshake's end may wait inside.
        if (!s.place.closing && s.transport.layer->has_buffered_input(s))
            push_back(server.work.serve, s);
        return;
    }
    // Unwatched while its password is checked, so a socket is not read
    // then either: what waits inside the transport waits for the answer,
    // which serves the session again.
    if (!(readable || transport_ready) || s.state == SessionState::checking_password)
        return;
    // A session that already holds a whole line or frame is not read: its
    // backlog would otherwise outgrow the input limit while the input pass
    // takes one step a turn, and TCP holds the sender back meanwhile. Its
    // socket stays watched, and input inside its transport, which makes no
    // event, is looked at again next turn; the wait does not sleep while
    // whole input waits anyway.
    if (has_whole_input(s)) {
        if (s.transport.layer->has_buffered_input(s))
            push_back(server.work.serve, s);
        return;
    }
    receive_from(server, s);
}

// The sessions the wait reported, and those that need no event, in order
// of acceptance. One listed again while served (input still inside its
// transport) waits for the next turn. Costs a sort of the sessions served.
void serve_sessions(Server& server)
{
    WorkList due = take_all(server.work.serve);
    sort_by_acceptance(due);
    while (Session* s = pop_front(due))
        serve_session(server, *s);
}

} // namespace

std::int64_t idle_deadline_ms(const Session& s)
{
    // Received bytes do not extend the dialogue: without the deadline, a
    // client that never logs in could hold its slot for ever with a byte
    // every minute.
    std::int64_t since = in_dialogue(s) ? std::min(s.input.last_ms, s.connected_ms) : s.input.last_ms;
    return since + IDLE_TIMEOUT_MS;
}

void take_session_event(Server& server, Watcher& watcher, const SocketEvent& event)
{
    Session& s = *static_cast<Session*>(watcher.owner);
    // Closed by an earlier event of the same wait (a greeting refused).
    if (s.place.closing)
        return;
    s.place.readable = event.readable && watcher.interest.read;
    s.place.writable = event.writable && watcher.interest.write;
    s.place.exception = event.exception;
    s.place.hung_up = event.hung_up && !watcher.interest.read;
    push_back(server.work.serve, s);
}

void take_wakeup_event(Server& server, Watcher&, const SocketEvent&)
{
    wakeup_drain(server.wakeup);
}

void wait_pass(Server& server)
{
    greet_named_peers(server);
    collect_password_checks(server);
    const std::int64_t now_ms = platform.monotonic_ms();
    // Also in a turn that closes an idle session: its output pass still runs.
    offer_stalled_output(server, now_ms);
    if (close_first_idle(server, now_ms))
        return;
    promote_waiting(server);
    std::int64_t listeners_ms = NO_DEADLINE;
    std::int64_t http_ms = NO_DEADLINE;
    watch_listeners(server, now_ms, &listeners_ms);
    watch_http(server, now_ms, &http_ms);
    cluster_watch(server);

    // With work already queued, sleeping would only delay it: the wait
    // still runs, so accepts and reads happen exactly as in any other turn.
    SocketEvent events[EVENTS_PER_WAIT];
    const long timeout_us = wait_timeout_us(server, now_ms, next_deadline_ms(server, listeners_ms, http_ms));
    // What this turn did so far (a greeting, a login refused) reaches the
    // log and the clients before the loop sleeps, however long that is.
    free_closed_sessions(server);
    if (timeout_us != 0)
        log_flush(server.log, platform.now());
    const int ready = platform.wait(server.poller, events, EVENTS_PER_WAIT, timeout_us);
    if (ready < 0) {
        // What was reported means nothing after a failure; touching it
        // could block in accept or close every session. Try again next turn.
        log_event(server.log, platform.now(), old_text::FAILED_WAIT, old_text::FAILED_WAIT_SUBJECT);
        return;
    }
    // Listeners accept here, in the order reported; the others are noted.
    for (int i = 0; i < ready; i++)
        events[i].watcher->take_event(server, *events[i].watcher, events[i]);
    serve_sessions(server);
    serve_http(server);
    // Last, so that a failed listener's connection is still taken.
    for (int i = 0; i < ready; i++)
        if (events[i].watcher->kind == WatcherKind::listener && events[i].exception)
            close_failed_listener(server, *static_cast<Listener*>(events[i].watcher->owner));
}
