#include "switch/websocket_transport.h"

#include "platform/tls.h"
#include "protocol/frame.h"
#include "protocol/websocket.h"
#include "switch/session.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

// Bytes left between reads: less than one step of the reader (part of a
// header or of a control frame), and what a read past a nearly full buffer
// brought beyond it.
constexpr std::size_t CARRY_MAX = 2 * WS_EARLY_MAX;
// The most bytes one read takes from the stream.
constexpr std::size_t READ_MAX = 16384;
// The most bytes one ws_recv takes, payload or not: frames that bring no
// input (pings, empty fragments) could otherwise keep it reading as long as
// the client sends, and the loop with it. The rest waits in the socket,
// which stays readable, for the next turn.
constexpr std::size_t RECV_BUDGET = READ_MAX;
// The most bytes one send offers the stream: many frames as messages, in
// one call, as the plain socket sends them.
constexpr std::size_t WIRE_MAX = 32768;
static_assert(WIRE_MAX >= FRAME_MAX + WS_HEADER_MAX, "the longest frame fits one send");

// What an upgraded connection keeps between calls.
struct WebSocketState {
    TlsConnection* tls = nullptr; // wss: the stream beneath
    WsReader reader;
    char carry[CARRY_MAX];
    std::size_t carry_length = 0;
    // The carry holds a step that needs no more bytes: the socket will not
    // turn readable for it.
    bool carry_ready = false;
    // Bytes the stream has not taken yet: the handshake's answer, the rest
    // of a message, a pong, the close.
    std::string out;
    std::size_t out_sent = 0;
    // The last ping's payload, while its pong waits for what is in out to
    // go: a client that pings and never reads holds this one at most.
    char owed_pong[WS_CONTROL_MAX];
    std::size_t owed_pong_length = 0;
    bool pong_owed = false;
    // A close is queued (answered or sent): nothing more goes out after it.
    bool close_queued = false;
    // The client's close came: the stream ends at the next read.
    bool peer_closed = false;
    // Why the client's frames were refused, for the log.
    char failure[160] = "";
};

WebSocketState& state_of(const Session& session)
{
    return *static_cast<WebSocketState*>(session.transport.state);
}

int stream_recv(WebSocketState& ws, Session& session, char* buffer, std::size_t size)
{
    const int n = static_cast<int>(size);
    return ws.tls ? tls_recv(ws.tls, buffer, n) : platform.recv(session.transport.socket, buffer, n);
}

int stream_send(WebSocketState& ws, Session& session, const char* data, std::size_t size)
{
    const int n = static_cast<int>(size);
    return ws.tls ? tls_send(ws.tls, data, n) : platform.send(session.transport.socket, data, n, 0);
}

// Queues a control frame behind what waits. A pong while something still
// waits for the socket is owed instead, in place of any owed before it
// (RFC 6455 lets the last ping alone be answered), and queued once out has
// gone. Nothing follows a close. False without memory.
bool queue_control(WebSocketState& ws, WsOpcode opcode, std::string_view payload)
{
    if (ws.close_queued)
        return true;
    if (opcode == WsOpcode::pong && ws.out_sent < ws.out.size()) {
        std::memcpy(ws.owed_pong, payload.data(), payload.size());
        ws.owed_pong_length = payload.size();
        ws.pong_owed = true;
        return true;
    }
    try {
        ws.out += ws_server_frame(opcode, payload);
    } catch (const std::bad_alloc&) {
        return false;
    }
    ws.close_queued = opcode == WsOpcode::close;
    ws.pong_owed = ws.pong_owed && !ws.close_queued;
    return true;
}

// Offers the stream what waits in out, then the pong owed; true once all
// of it has gone, false with the last error set while it waits for room,
// or on failure.
bool flush(WebSocketState& ws, Session& session)
{
    while (ws.out_sent < ws.out.size()) {
        int n = stream_send(ws, session, ws.out.data() + ws.out_sent, ws.out.size() - ws.out_sent);
        if (n == 0)
            sock_set_last_error(WSAEWOULDBLOCK);
        if (n <= 0)
            return false;
        ws.out_sent += static_cast<std::size_t>(n);
        if (ws.out_sent == ws.out.size() && ws.pong_owed) {
            ws.out.clear();
            ws.out_sent = 0;
            ws.pong_owed = false;
            // Without memory for it, the pong is left out.
            queue_control(ws, WsOpcode::pong, std::string_view(ws.owed_pong, ws.owed_pong_length));
        }
    }
    ws.out.clear();
    ws.out_sent = 0;
    return true;
}

// The client broke the protocol: its close code goes out, and the read
// fails with the reason for the log.
void refuse_frames(WebSocketState& ws, Session& session, const WsStep& step)
{
    std::snprintf(ws.failure, sizeof ws.failure, "websocket %u: %s", static_cast<unsigned>(step.close_code),
                  step.reason);
    queue_control(ws, WsOpcode::close, ws_close_payload(step.close_code, ""));
    flush(ws, session);
}

// A ping, a pong or a close is the client's activity too, though it brings
// no input: a browser's page cannot send a ping, but other clients keep
// their sessions alive with them.
void note_activity(Session& session)
{
    session.input.last_ms = platform.monotonic_ms();
}

// What a run of the reader over the bytes in hand ended with.
enum class Decoded { more, closed, failed };

// Takes every step the bytes in hand allow: payload into buffer (up to
// size), control frames answered. *at is where the bytes not yet taken
// begin.
Decoded decode(WebSocketState& ws, Session& session, std::string_view bytes, std::size_t* at, char* buffer,
               std::size_t size, std::size_t* produced)
{
    for (;;) {
        WsStep step = ws_read(ws.reader, bytes.substr(*at), buffer + *produced, size - *produced);
        *at += step.consumed;
        switch (step.event) {
        case WsEvent::more:
            return Decoded::more;
        case WsEvent::data:
            *produced += step.produced;
            break;
        case WsEvent::ping:
            note_activity(session);
            if (!queue_control(ws, WsOpcode::pong, step.payload))
                return Decoded::failed;
            flush(ws, session);
            break;
        case WsEvent::pong:
            note_activity(session);
            break;
        case WsEvent::close:
            note_activity(session);
            // The client's code is answered as it came; without one, the
            // answer has none either.
            queue_control(ws, WsOpcode::close,
                          step.close_code == ws_close::NO_CODE ? std::string_view() : step.payload.substr(0, 2));
            return Decoded::closed;
        case WsEvent::failed:
            refuse_frames(ws, session, step);
            return Decoded::failed;
        }
    }
}

// Reads the stream into the payload of the client's messages, as
// platform.recv reads a socket. Each read takes no more raw bytes than the
// buffer has room for payload (and at least a control frame's worth), so
// what the reader leaves is always a little: it waits in the carry.
int ws_recv(Session& session, char* buffer, int size)
{
    WebSocketState& ws = state_of(session);
    if (ws.peer_closed)
        return 0;
    if (ws.reader.failed) {
        sock_set_last_error(WSAECONNABORTED);
        return -1;
    }
    // A pong or the rest of a message that the socket would not take.
    flush(ws, session);
    char raw[CARRY_MAX + READ_MAX];
    std::memcpy(raw, ws.carry, ws.carry_length);
    std::size_t have = ws.carry_length;
    std::size_t at = 0;
    std::size_t produced = 0;
    const auto room = static_cast<std::size_t>(size);
    int last_read = 1;
    std::size_t taken = 0;
    Decoded end = Decoded::more;
    for (;;) {
        end = decode(ws, session, std::string_view(raw, have), &at, buffer, room, &produced);
        if (end != Decoded::more || produced == room || taken >= RECV_BUDGET)
            break;
        std::memmove(raw, raw + at, have - at);
        have -= at;
        at = 0;
        const std::size_t want = std::min(READ_MAX, std::max(room - produced, WS_EARLY_MAX));
        last_read = stream_recv(ws, session, raw + have, want);
        if (last_read <= 0)
            break;
        have += static_cast<std::size_t>(last_read);
        taken += static_cast<std::size_t>(last_read);
    }
    // Out of budget with nothing for the session: nothing now.
    const int read_error = last_read > 0 ? WSAEWOULDBLOCK : sock_last_error();
    // After the client's close or a fault, what followed is not read.
    const std::size_t left = end == Decoded::more ? have - at : 0;
    assert(left <= CARRY_MAX);
    ws.carry_length = std::min(left, CARRY_MAX);
    std::memcpy(ws.carry, raw + at, ws.carry_length);
    ws.carry_ready = produced == room && ws.carry_length > 0;
    flush(ws, session);
    ws.peer_closed = end == Decoded::closed || (end == Decoded::more && last_read == 0);
    // Payload already taken goes to the session first; the close or the
    // failure is for the next read.
    if (produced > 0)
        return static_cast<int>(produced);
    if (ws.peer_closed)
        return 0;
    sock_set_last_error(end == Decoded::failed ? WSAECONNABORTED : read_error);
    return -1;
}

// The bytes of the next message in offered from at: one whole frame, or,
// where offered holds no frame at all, all of it (a prompt). 0 for the
// part of a frame that a chunk of the output cut off.
std::size_t next_message(std::string_view offered, std::size_t at, bool whole_is_one)
{
    if (whole_is_one)
        return at == 0 ? offered.size() : 0;
    return frame_length(offered.substr(at));
}

std::size_t header_size(std::size_t payload)
{
    return payload < 126 ? 2 : payload <= 0xFFFF ? 4 : 10;
}

// TLS must be offered the same bytes again after a send that would block,
// and a pong may come first meanwhile: the messages wait in out instead,
// where only more is ever added, and count as taken.
int hold_for_tls(WebSocketState& ws, const char* wire, std::size_t used, std::size_t taken)
{
    try {
        ws.out.assign(wire, used);
    } catch (const std::bad_alloc&) {
        sock_set_last_error(WSAENOBUFS);
        return -1;
    }
    return static_cast<int>(taken);
}

// Sends what the output pass offers (frames back to back) or a prompt, as
// one binary message each, in one send call. Returns the bytes of offered
// taken: those of the messages the stream took whole, and of the one it
// took part of, whose rest waits in out and goes before anything else.
int ws_send(Session& session, const char* data, int size)
{
    WebSocketState& ws = state_of(session);
    // Nothing may follow a close, nor wait behind it. The session ends at
    // its next read, which says why (the client's close, or its fault),
    // not at this send.
    if (ws.close_queued)
        return size;
    if (!flush(ws, session))
        return -1;
    const std::string_view offered(data, static_cast<std::size_t>(size));
    const bool whole_is_one = frame_length(offered) == 0;
    char wire[WIRE_MAX];
    std::size_t used = 0;
    std::size_t at = 0;
    for (std::size_t length; (length = next_message(offered, at, whole_is_one)) != 0; at += length) {
        if (used + header_size(length) + length > sizeof wire)
            break;
        used += ws_frame_header(wire + used, WsOpcode::binary, length);
        std::memcpy(wire + used, offered.data() + at, length);
        used += length;
    }
    if (used == 0) {
        sock_set_last_error(WSAEWOULDBLOCK);
        return -1;
    }
    const int sent = stream_send(ws, session, wire, used);
    if (sent < 0 && ws.tls && sock_last_error() == WSAEWOULDBLOCK)
        return hold_for_tls(ws, wire, used, at);
    if (sent < 0)
        return -1;
    // As a rule the stream takes all, and every message is taken whole.
    if (static_cast<std::size_t>(sent) == used)
        return static_cast<int>(at);
    // Walks the messages again up to the last the stream took any of.
    std::size_t taken = 0;
    std::size_t wire_at = 0;
    for (std::size_t length; wire_at < static_cast<std::size_t>(sent); taken += length) {
        length = next_message(offered, taken, whole_is_one);
        const std::size_t end = wire_at + header_size(length) + length;
        if (end > static_cast<std::size_t>(sent)) {
            try {
                ws.out.assign(wire + sent, end - static_cast<std::size_t>(sent));
            } catch (const std::bad_alloc&) {
                sock_set_last_error(WSAENOBUFS);
                return -1;
            }
        }
        wire_at = end;
    }
    if (taken == 0)
        sock_set_last_error(WSAEWOULDBLOCK);
    return taken > 0 ? static_cast<int>(taken) : -1;
}

// The opening exchange is the handshake's answer (the 101), which must
// be sent whole before the prompt.
HandshakeStep ws_handshake(Session& session, const char** reason)
{
    WebSocketState& ws = state_of(session);
    if (flush(ws, session))
        return HandshakeStep::done;
    if (sock_last_error() == WSAEWOULDBLOCK)
        return HandshakeStep::pending;
    *reason = "the answer to the upgrade could not be sent";
    return HandshakeStep::failed;
}

bool ws_open(const Server&, Session& session)
{
    return session.transport.state != nullptr;
}

// The client's close or fault that came behind input is for the next
// read, which no socket event may bring.
bool ws_buffered(const Session& session)
{
    const WebSocketState& ws = state_of(session);
    return ws.carry_ready || ws.peer_closed || ws.reader.failed || (ws.tls && tls_has_buffered_input(ws.tls));
}

bool ws_wants_write(const Session& session)
{
    const WebSocketState& ws = state_of(session);
    return ws.out_sent < ws.out.size() || (ws.tls && tls_wants_write(ws.tls));
}

const char* ws_failure(const Session& session)
{
    return state_of(session).failure;
}

// A client the server closes learns it from a close frame, sent if the
// socket takes it now, after what of a message was still owed.
void ws_release(Session& session)
{
    auto* ws = static_cast<WebSocketState*>(session.transport.state);
    if (!ws)
        return;
    queue_control(*ws, WsOpcode::close, ws_close_payload(ws_close::NORMAL, ""));
    flush(*ws, session);
    tls_connection_free(ws->tls);
    delete ws;
    session.transport.state = nullptr;
}

constexpr Transport WEBSOCKET_TRANSPORT{
    .name = "websocket",
    .peer_name_suffix = " ws",
    .open = ws_open,
    .handshake = ws_handshake,
    .recv = ws_recv,
    .send = ws_send,
    .has_buffered_input = ws_buffered,
    .wants_write = ws_wants_write,
    .release = ws_release,
    .failure = ws_failure,
    // Frames that bring no input (a ping), or a header not yet whole.
    .would_block_means_nothing_now = true,
    .gathers_output = false,
};

// The same inside TLS: each send is a TLS record, as on the TLS port.
constexpr Transport SECURE_WEBSOCKET_TRANSPORT = [] {
    Transport transport = WEBSOCKET_TRANSPORT;
    transport.peer_name_suffix = " wss";
    transport.gathers_output = true;
    return transport;
}();

} // namespace

const Transport& websocket_transport()
{
    return WEBSOCKET_TRANSPORT;
}

const Transport& secure_websocket_transport()
{
    return SECURE_WEBSOCKET_TRANSPORT;
}

void* websocket_state(TlsConnection* tls, std::string_view answer, std::string_view early)
{
    if (early.size() > WS_EARLY_MAX)
        return nullptr;
    auto* ws = new (std::nothrow) WebSocketState;
    if (!ws)
        return nullptr;
    try {
        ws->out.assign(answer);
    } catch (const std::bad_alloc&) {
        delete ws;
        return nullptr;
    }
    ws->tls = tls;
    std::memcpy(ws->carry, early.data(), early.size());
    ws->carry_length = early.size();
    ws->carry_ready = !early.empty();
    return ws;
}
