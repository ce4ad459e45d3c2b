#include "switch/output_pass.h"

#include <algorithm>
#include <string_view>

namespace {

bool tolerated(int error, std::int32_t failures_before)
{
    return failures_before < TOLERATED_SEND_FAILURES &&
           (error == WSAEWOULDBLOCK || error == WSAENOBUFS);
}

// Output a gathering may hold: less than a full record, through a
// transport that gathers.
bool gatherable(const Session& session)
{
    return session.transport->gathers_output && session.output.length > 0 &&
           session.output.length < GATHER_BYTES;
}

void note_output_left(Server& server, const Session& session)
{
    server.flood.longest_output = std::max(server.flood.longest_output, session.output.length);
}

// Gives one session its turn; returns the session the pass goes on with.
// A closed session hands its turn to the one that followed it, unskipped.
Session* flush_session(Server& server, Session* session)
{
    std::string_view offered = queue_bytes(session->output).substr(0, SEND_CHUNK);
    if (offered.empty())
        return session->next;
    int sent = session->transport->send(*session, offered.data(), static_cast<int>(offered.size()));
    if (sent < 0) {
        int error = sock_last_error();
        std::int32_t failures_before = session->send_failures++;
        if (tolerated(error, failures_before)) {
            note_output_left(server, *session);
            return session->next;
        }
        return close_session(server, session, nullptr, Disconnect::send_error);
    }
    server.metrics.bytes_sent += static_cast<std::uint64_t>(sent);
    session->send_failures = 0;
    queue_consume(session->output, static_cast<std::uint32_t>(sent));
    note_output_left(server, *session);
    return session->next;
}

} // namespace

// Costs a walk of the served sessions, every turn.
void output_pass(Server& server)
{
    OutputGathering& gathering = server.gathering;
    const std::int64_t now_ms = platform.monotonic_ms();
    if (gathering.active && now_ms - gathering.since_ms >= GATHER_MS) {
        gathering.active = false; // this pass sends everything
    } else if (!gathering.active && gathering.small_sends_last_pass >= GATHER_RECEIVERS) {
        gathering.active = true;
        gathering.since_ms = now_ms;
    }
    std::size_t small_sends = 0;
    server.flood.longest_output = 0;
    Session* s = server.sessions.first;
    while (s && s != server.first_waiting) {
        const bool small = gatherable(*s);
        const bool held = gathering.active && small;
        if (small && !held)
            small_sends++;
        if (held)
            note_output_left(server, *s);
        s = held ? s->next : flush_session(server, s);
    }
    gathering.small_sends_last_pass = small_sends;
}

void send_held_output(Server& server, Session& session)
{
    const bool held = server.flood.turns_deferred > 0 || (server.gathering.active && gatherable(session));
    std::string_view offered = queue_bytes(session.output).substr(0, SEND_CHUNK);
    if (!held || offered.empty())
        return;
    int sent = session.transport->send(session, offered.data(), static_cast<int>(offered.size()));
    if (sent <= 0)
        return;
    server.metrics.bytes_sent += static_cast<std::uint64_t>(sent);
    queue_consume(session.output, static_cast<std::uint32_t>(sent));
}

void flush_held_output(Server& server)
{
    server.gathering = OutputGathering{};
    server.flood.turns_deferred = 0;
    output_pass(server);
}
