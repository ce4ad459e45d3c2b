#include "switch/wait.h"

#include "switch/http_port.h"
#include "switch/input_pass.h"
#include "switch/listener.h"
#include "switch/receive.h"

#include <algorithm>

namespace {

constexpr int EVENTS_PER_WAIT = 256;

// The last moment the session may stay silent; past it, it is closed.
std::int64_t idle_deadline_ms(const Session& s)
{
    // Received bytes do not extend the dialogue: without the deadline, a
    // client that never logs in could hold its slot for ever with a byte
    // every minute.
    bool in_dialogue = s.state == SessionState::awaiting_login ||
                       s.state == SessionState::awaiting_password ||
                       s.state == SessionState::checking_password;
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

// Neither read nor told of its hang-up while its password is checked: the
// answer comes first, and a client that sent its frames and hung up is
// served as if it had been quick.
void leave_unwatched(Server& server, Session& s)
{
    if (!s.watched)
        return;
    platform.unwatch(server.poller, s.client_socket);
    s.watched = false;
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
        close_session(server, first, "timeout", Disconnect::timeout);
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
// wait to do. Costs a walk of the served sessions, every turn.
bool close_idle_or_watch(Server& server, std::int64_t now_ms, SleepPlan& plan)
{
    std::size_t served = 0;
    Session* s = server.sessions.first;
    while (s && served < server.max_clients) {
        Session* next = s->next;
        std::int64_t deadline_ms = idle_deadline_ms(*s);
        if (now_ms > deadline_ms) {
            close_session(server, s, "timeout", Disconnect::timeout);
            return true;
        }
        plan.until_ms = std::min(plan.until_ms, deadline_ms + 1);
        if (!name_by_deadline(server, *s, now_ms, plan)) {
            s = next;
            continue;
        }
        // A broken session is closed by the session walk after the wait.
        if (s->state == SessionState::broken || has_whole_input(*s) ||
            s->transport->has_buffered_input(*s))
            plan.work_waiting = true;
        // A password check's answer comes with no event.
        bool checking = s->state == SessionState::checking_password;
        if (s->output.length > 0 || s->transport->wants_write(*s) || checking)
            plan.polling = true;
        if (checking)
            leave_unwatched(server, *s);
        else
            watch_session(server, *s, !s->naming);
        served++;
        s = next;
    }
    server.first_waiting = s;
    return s && close_idle_or_name_waiting(server, now_ms, plan);
}

// What the wait reported about the listeners.
struct ListenerEvents {
    Listener* readable[MAX_LISTENERS];
    std::size_t readable_count = 0;
    Listener* failed[MAX_LISTENERS];
    std::size_t failed_count = 0;
};

// Notes what the wait reported. Costs a look at every listener per event.
void take_events(Server& server, const SocketEvent* events, int n, ListenerEvents& listeners)
{
    for (int i = 0; i < n; i++) {
        if (Listener* listener = listener_of(server, events[i].owner)) {
            // Each listener is watched once, so it fills at most one entry
            // of each; the bound guards a poller that reports it twice.
            if (events[i].readable && listeners.readable_count < MAX_LISTENERS)
                listeners.readable[listeners.readable_count++] = listener;
            if (events[i].exception && listeners.failed_count < MAX_LISTENERS)
                listeners.failed[listeners.failed_count++] = listener;
            continue;
        }
        if (HttpConnection* connection = http_connection_of(server, events[i].owner)) {
            connection->reported = true;
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
    if (session->naming)
        name_without_greeting(server, *session);
    return receive_from(server, session);
}

// Costs a walk of the served sessions, every turn.
void serve_sessions(Server& server)
{
    Session* s = server.sessions.first;
    while (s && s != server.first_waiting) {
        // Bytes inside the transport never make the socket readable; what
        // the transport has to write is retried by reading on, as it asks.
        bool readable = s->reported_readable || s->transport->has_buffered_input(*s) ||
                        s->transport->wants_write(*s);
        bool exception = s->reported_exception;
        bool hangup = s->reported_hangup;
        s->reported_readable = s->reported_exception = s->reported_hangup = false;
        if (exception) {
            s = close_session(server, s, nullptr, Disconnect::recv_error);
            log_event(server.log, platform.now(), "srv", "socket exception");
        } else if (s->state == SessionState::broken) {
            // Its output queue could not take a frame: a receiver that does
            // not read.
            s = close_session(server, s, nullptr, Disconnect::overflow);
        } else if (hangup) {
            s = take_hangup(server, s);
        } else if (s->handshaking) {
            Session* next = s->next;
            if (readable)
                advance_handshake(server, *s);
            s = next;
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

} // namespace

void wait_pass(Server& server)
{
    greet_named_peers(server);
    collect_password_checks(server);
    std::int64_t now_ms = platform.monotonic_ms();
    SleepPlan plan{now_ms + LONGEST_SLEEP_US / 1000};
    // Output and log lines held for a flood go out in the next turn that
    // reads nothing more; that turn must not sleep first.
    plan.work_waiting = server.flood.turns_deferred > 0 || server.flood.log_held;
    if (close_idle_or_watch(server, now_ms, plan))
        return;
    watch_listeners(server, now_ms, &plan.until_ms);
    watch_http(server, now_ms, &plan.until_ms, &plan.polling);
    if (server.wake_by_ms != 0)
        plan.until_ms = std::min(plan.until_ms, server.wake_by_ms);

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

    ListenerEvents listeners;
    take_events(server, events, ready, listeners);
    for (std::size_t i = 0; i < listeners.readable_count; i++) {
        accept_from(server, *listeners.readable[i]);
        // A name found at once greets the client before anyone is read.
        greet_named_peers(server);
    }
    // Also in a turn without events: a broken session must not wait for one.
    serve_sessions(server);
    serve_http(server);
    for (std::size_t i = 0; i < listeners.failed_count; i++)
        close_failed_listener(server, *listeners.failed[i]);
}
