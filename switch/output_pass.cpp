#include "switch/output_pass.h"

#include <string_view>

namespace {

bool tolerated(int error, std::int32_t failures_before)
{
    return failures_before < TOLERATED_SEND_FAILURES &&
           (error == WSAEWOULDBLOCK || error == WSAENOBUFS);
}

// Gives one session its turn; returns the session the pass goes on with.
// A closed session hands its turn to the one that followed it, unskipped.
Session* flush_session(Server& server, Session* session)
{
    for (;;) {
        std::string_view offered = queue_bytes(session->output).substr(0, SEND_CHUNK);
        if (offered.empty())
            return session->next;
        std::size_t record_end = offered.find('\0');
        std::size_t k = record_end == std::string_view::npos ? offered.size() : record_end;
        if (k == 0) {
            queue_consume(session->output, 1);
            continue;
        }

        int sent = platform.send(session->client_socket, offered.data(), static_cast<int>(k), 0);
        if (sent < 0) {
            int error = sock_last_error();
            std::int32_t failures_before = session->send_failures++;
            if (tolerated(error, failures_before))
                return session->next;
            return close_session(server, session, nullptr);
        }

        session->send_failures = 0;
        auto taken = static_cast<std::uint32_t>(sent);
        // A frame sent whole takes its record end along.
        if (taken == k && k < offered.size())
            taken++;
        queue_consume(session->output, taken);
    }
}

} // namespace

void output_pass(Server& server)
{
    Session* s = server.sessions.first;
    while (s)
        s = flush_session(server, s);
}
