// The tools' TLS: blocking calls with time-outs over the non-blocking
// connection of platform/tls.h.
#include "platform/client.h"
#include "platform/tls.h"

#include <algorithm>
#include <climits>

namespace {

constexpr std::int64_t NO_DEADLINE = -1;

std::int64_t deadline_after(int timeout_ms)
{
    return timeout_ms < 0 ? NO_DEADLINE : platform.monotonic_ms() + timeout_ms;
}

// Waits until the socket is ready the way TLS wants it: 1, 0 at the
// deadline, -1 on failure.
int wait_for(socket_handle sock, const TlsConnection* tls, std::int64_t deadline)
{
    int left = -1;
    if (deadline != NO_DEADLINE)
        left = static_cast<int>(std::clamp<std::int64_t>(deadline - platform.monotonic_ms(), 0, INT_MAX));
    ClientPoll entry{sock, tls_wants_write(tls), false, false};
    int ready = client_poll(&entry, 1, left);
    return ready < 0 ? -1 : ready > 0 ? 1 : 0;
}

int chunk_of(std::size_t size)
{
    return static_cast<int>(std::min<std::size_t>(size, 1 << 16));
}

} // namespace

TlsConnection* client_tls_start(TlsContext* context, socket_handle sock, const std::string& host,
                                int timeout_ms, std::string* error, std::string* first_reply)
{
    std::string reply;
    if (client_set_nonblocking(sock) < 0) {
        *error = sock_error_text(sock_last_error());
        return nullptr;
    }
    TlsConnection* tls = tls_connect(context, sock, host, error);
    std::int64_t deadline = deadline_after(timeout_ms);
    while (tls) {
        // Looked at before the library takes them, which may be only the
        // few bytes it needs to refuse them.
        char bytes[16];
        int peeked = reply.empty() ? client_peek(sock, bytes, sizeof bytes) : 0;
        if (peeked > 0)
            reply.assign(bytes, static_cast<std::size_t>(peeked));
        TlsStep step = tls_handshake(tls);
        if (step == TlsStep::done)
            return tls;
        if (step == TlsStep::failed) {
            *error = std::string("TLS handshake failed: ") + tls_failure(tls);
            if (first_reply)
                *first_reply = reply;
        } else {
            int ready = wait_for(sock, tls, deadline);
            if (ready > 0)
                continue;
            *error = ready == 0 ? "the TLS handshake timed out" : sock_error_text(sock_last_error());
        }
        tls_connection_free(tls);
        tls = nullptr;
    }
    return nullptr;
}

int client_tls_send_all(socket_handle sock, TlsConnection* tls, const void* data, std::size_t size)
{
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        int n = tls_send(tls, p, chunk_of(size));
        if (n > 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
        } else if (sock_last_error() != WSAEWOULDBLOCK || wait_for(sock, tls, NO_DEADLINE) < 0) {
            return -1;
        }
    }
    return 0;
}

int client_tls_recv(socket_handle sock, TlsConnection* tls, void* buffer, std::size_t size,
                    int timeout_ms)
{
    std::int64_t deadline = deadline_after(timeout_ms);
    for (;;) {
        int n = tls_recv(tls, static_cast<char*>(buffer), chunk_of(size));
        if (n >= 0 || sock_last_error() != WSAEWOULDBLOCK)
            return n;
        int ready = wait_for(sock, tls, deadline);
        if (ready <= 0)
            return ready == 0 ? CLIENT_TIMED_OUT : -1;
    }
}
