#include "switch/receive.h"

#include "switch/old_texts.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace {

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
    std::uint32_t room = session.input.queue.length < RX_LIMIT ? RX_LIMIT - session.input.queue.length : 0;
    std::uint32_t blocks = std::clamp<std::uint32_t>(room / RECEIVE_SIZE, 1, RECEIVE_BLOCKS);
    return static_cast<int>(blocks * RECEIVE_SIZE);
}

// Each block gets its own line, its password part masked.
void log_block(Server& server, const Session& session, std::time_t now, const char* event,
               std::string_view block)
{
    ByteRange secret = password_in_block(session.state, queue_bytes(session.input.queue), block);
    log_received(server.log, now, event, block, secret.begin, secret.end);
}

} // namespace

void receive_from(Server& server, Session& session)
{
    char buffer[RECEIVE_BLOCKS * RECEIVE_SIZE];
    const int wanted = receive_size(session);
    int n = session.transport.layer->recv(session, buffer, wanted);
    // A transport may have to write before it can read on.
    refresh_watch(server, session);
    if (n < 0 && sock_last_error() == WSAEWOULDBLOCK && session.transport.layer->would_block_means_nothing_now)
        return;
    if (n < 0) {
        char reason[200];
        const char* failure = session.transport.layer->failure(session);
        if (*failure)
            std::snprintf(reason, sizeof reason, "%s", failure);
        else
            std::snprintf(reason, sizeof reason, "error %d on recv", sock_last_error());
        close_session(server, session, reason, Disconnect::recv_error);
        return;
    }
    // Only a session holding nothing whole is read, so at the end of its
    // stream every frame it sent has been relayed: what is left is a partial
    // frame or line, which dies with it.
    if (n == 0) {
        close_session(server, session, nullptr);
        return;
    }

    server.metrics.bytes_received += static_cast<std::uint64_t>(n);
    // A read that filled its buffer most likely left more in the socket.
    if (n == wanted)
        note_full_read(server.schedule);
    session.input.last_ms = platform.monotonic_ms();
    const std::time_t now = platform.now();
    std::string_view received(buffer, static_cast<std::size_t>(n));
    char event[NAME_SIZE + 8];
    std::snprintf(event, sizeof event, "from %s", session.peer_name);
    // Costs a log line and an append per block of the read, at most
    // RECEIVE_BLOCKS.
    for (std::size_t at = 0; at < received.size(); at += RECEIVE_SIZE) {
        std::string_view block = received.substr(at, RECEIVE_SIZE);
        if (server.log_frames)
            log_block(server, session, now, event, block);
        if (!queue_append(session.input.queue, block)) {
            close_session(server, session, nullptr, Disconnect::overflow);
            return;
        }
        if (session.input.queue.length > RX_LIMIT) {
            close_session(server, session, old_text::INPUT_OVERFLOW, Disconnect::overflow);
            return;
        }
    }
    push_back(server.work.input, session);
    // Bytes taken from the socket that wait inside the transport never make
    // the socket readable: the session is served again without an event.
    if (session.transport.layer->has_buffered_input(session))
        push_back(server.work.serve, session);
}
