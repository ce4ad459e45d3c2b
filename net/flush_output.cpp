#include "net/flush_output.h"

#include "net/session.h"

#include <cstring>

namespace {

bool tolerated(int error, std::int32_t failures_before)
{
    return failures_before <= SEND_FAILURE_LIMIT &&
           (error == WSAEWOULDBLOCK || error == WSAENOBUFS);
}

// Gives one session its turn; returns the session the pass goes on with.
// A closed session hands its turn to the one that followed it, unskipped.
Session* flush_session(Session* session, char* buffer)
{
    for (;;) {
        std::uint32_t n = queue_take(&session->output, buffer, SEND_CHUNK, true);
        if (n == 0)
            return session->next_session;
        auto* record_end = static_cast<char*>(std::memchr(buffer, '\0', n));
        std::uint32_t k = record_end ? static_cast<std::uint32_t>(record_end - buffer) : n;
        if (k == 0) {
            queue_take(&session->output, buffer, 1, false);
            continue;
        }

        int sent = send_bytes(session->client_socket, buffer, static_cast<int>(k), 0);
        if (sent < 0) {
            int error = sock_last_error();
            std::int32_t failures_before = session->send_failures++;
            if (tolerated(error, failures_before))
                return session->next_session;
            return close_session(session->client_socket, nullptr);
        }

        session->send_failures = 0;
        auto taken = static_cast<std::uint32_t>(sent);
        // A frame sent whole takes its record end along.
        if (taken == k && k < n)
            taken++;
        queue_take(&session->output, buffer, taken, false);
    }
}

} // namespace

void flush_output()
{
    char buffer[SEND_CHUNK + 1];
    Session* s = session_list->next_session;
    while (s)
        s = flush_session(s, buffer);
}
