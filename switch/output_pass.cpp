#include "switch/output_pass.h"

#include <string_view>

namespace {

// Would block, or no buffers: the socket may take it later.
bool refused_for_now(int error)
{
    return error == WSAEWOULDBLOCK || error == WSAENOBUFS;
}

bool stalled_too_long(const Server& server, const Session& session, std::int64_t now_ms)
{
    return is_listed(server.work.stalled, session) &&
           now_ms - session.output.stalled_since_ms >= SEND_STALL_LIMIT_MS;
}

// The socket has not taken everything since now: its stall is counted from
// here, unless one is counted already.
void stall(Server& server, Session& session, std::int64_t now_ms)
{
    if (is_listed(server.work.stalled, session))
        return;
    session.output.stalled_since_ms = now_ms;
    push_back(server.work.stalled, session);
}

// Gives one session its send, as the pass goes; what remains is listed for
// the next pass or waits for room.
void flush_session(Server& server, Session& session, std::int64_t now_ms)
{
    std::string_view offered = queue_bytes(session.output.queue).substr(0, SEND_CHUNK);
    if (offered.empty()) {
        remove(server.work.stalled, session);
        return;
    }
    const int sent = session.transport.layer->send(session, offered.data(), static_cast<int>(offered.size()));
    if (sent < 0) {
        const int error = sock_last_error();
        if (!refused_for_now(error) || stalled_too_long(server, session, now_ms)) {
            close_session(server, session, nullptr, Disconnect::send_error);
            return;
        }
        stall(server, session, now_ms);
        refresh_watch(server, session);
        return;
    }
    server.metrics.bytes_sent += static_cast<std::uint64_t>(sent);
    queue_consume(session.output.queue, static_cast<std::uint32_t>(sent));
    // Taken: any stall is over. What the socket did not take waits for room
    // from now; more than one send's worth that it took whole goes next pass.
    remove(server.work.stalled, session);
    if (static_cast<std::size_t>(sent) < offered.size())
        stall(server, session, now_ms);
    else if (session.output.queue.length > 0)
        push_back(server.work.output, session);
    refresh_watch(server, session);
}

} // namespace

void output_has_room(Server& server, Session& session)
{
    if (session.output.queue.length == 0 || is_listed(server.work.output, session))
        return;
    push_back(server.work.output, session);
    refresh_watch(server, session);
}

// Costs a sort of the sessions on the output list, and a look at each
// session whose output waits for room.
void output_pass(Server& server)
{
    const std::int64_t now_ms = platform.monotonic_ms();
    begin_output_pass(server.schedule, now_ms);
    WorkList due = take_all(server.work.output);
    sort_by_acceptance(due);
    std::size_t short_sends = 0;
    while (Session* s = pop_front(due)) {
        const bool held = held_back(server.schedule, *s->transport.layer, s->output.queue.length);
        if (held) {
            push_back(server.work.output, *s);
        } else {
            short_sends += gatherable(*s->transport.layer, s->output.queue.length);
            flush_session(server, *s, now_ms);
        }
        if (!s->place.closing)
            note_output_left(server.schedule, s->output.queue.length);
    }
    for (Session* s = server.work.stalled.first; s; s = next_on(server.work.stalled, *s))
        note_output_left(server.schedule, s->output.queue.length);
    end_output_pass(server.schedule, short_sends);
}

void send_owed_output(Server& server, Session& session)
{
    std::string_view offered = queue_bytes(session.output.queue).substr(0, SEND_CHUNK);
    if (offered.empty() || !output_owed(server.schedule, *session.transport.layer, session.output.queue.length))
        return;
    int sent = session.transport.layer->send(session, offered.data(), static_cast<int>(offered.size()));
    if (sent <= 0)
        return;
    server.metrics.bytes_sent += static_cast<std::uint64_t>(sent);
    queue_consume(session.output.queue, static_cast<std::uint32_t>(sent));
}

// Costs a look at each session whose output waits for room.
void flush_held_output(Server& server)
{
    release_holds(server.schedule);
    for (Session* s = server.work.stalled.first; s; s = next_on(server.work.stalled, *s))
        push_back(server.work.output, *s);
    output_pass(server);
}
