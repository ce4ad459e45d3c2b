// The WebSocket frame reader and the transport over it. The first byte
// picks the mode (its value modulo 3):
// - 0: the rest is a client's byte stream, read in pieces of random size
//   with random room for payload; what comes out (bytes and events) must be
//   what reading it whole gives, and no step may take more than it has or
//   write more than its room;
// - 1: the rest describes messages (binary or text, cut into fragments,
//   pings between them) that are framed and masked as a browser would; read
//   back in random pieces they must give every payload byte and every ping,
//   in order, and no failure;
// - 2: the same messages reach a session's WebSocket transport over a faked
//   socket in pieces of random size, read with random room as the server
//   reads: the session must get every payload byte, in order, and the
//   client a pong for each ping (its socket takes everything); with bit 2
//   of the first byte set, the rest goes to the transport as it is, which
//   must end it or read it without breaking.
#include "fuzz/fuzz_support.h"
#include "protocol/websocket.h"
#include "switch/websocket_transport.h"
#include "tests/support/fake_platform.h"

#include <string>
#include <string_view>
#include <vector>

namespace {

// The bytes and events a reader made, in order.
struct Reading {
    std::string bytes;
    std::string events;
    bool failed = false;
    bool closed = false;
    std::size_t pings = 0;
};

Reading read_stream(std::string_view stream, FuzzRandom* random)
{
    WsReader reader;
    Reading reading;
    std::string buffered;
    std::vector<char> out(WS_MESSAGE_MAX);
    std::size_t fed = 0;
    while (!reading.failed && !reading.closed) {
        std::size_t take = random ? random->piece(stream.size() - fed + 1) - 1 : stream.size() - fed;
        buffered.append(stream.substr(fed, take));
        fed += take;
        for (;;) {
            std::size_t room = random ? random->piece(300) : out.size();
            WsStep step = ws_read(reader, buffered, out.data(), room);
            fuzz_require(step.consumed <= buffered.size(), "a step took more than it had");
            fuzz_require(step.produced <= room, "a step wrote past its room");
            buffered.erase(0, step.consumed);
            if (step.event == WsEvent::more) {
                fuzz_require(step.consumed == 0 && step.produced == 0, "a step with nothing to do took bytes");
                break;
            }
            reading.bytes.append(out.data(), step.produced);
            if (step.event == WsEvent::ping)
                reading.events += "ping:" + std::string(step.payload) + ";";
            reading.failed = step.event == WsEvent::failed;
            reading.closed = step.event == WsEvent::close;
            if (reading.failed || reading.closed) {
                reading.events += std::to_string(step.close_code);
                break;
            }
        }
        if (fed == stream.size() && (take == 0 || !random))
            break;
    }
    return reading;
}

void check_pieces(std::string_view stream, FuzzRandom& random)
{
    Reading whole = read_stream(stream, nullptr);
    Reading pieces = read_stream(stream, &random);
    fuzz_require(pieces.events == whole.events && pieces.failed == whole.failed && pieces.closed == whole.closed,
                 "reading in pieces gave other events than reading at once");
    // A failure may come after some of its frame's bytes when they come
    // in pieces; until then both readings agree byte for byte.
    const bool same = whole.failed ? pieces.bytes.starts_with(whole.bytes) : pieces.bytes == whole.bytes;
    fuzz_require(same, "reading in pieces gave other bytes than reading at once");
}

std::string masked_frame(std::uint8_t first_byte, std::string_view payload, FuzzRandom& random)
{
    const std::uint32_t r = random.next();
    const std::uint8_t mask[4] = {static_cast<std::uint8_t>(r), static_cast<std::uint8_t>(r >> 8),
                                  static_cast<std::uint8_t>(r >> 16), static_cast<std::uint8_t>(r >> 24)};
    char header[WS_HEADER_MAX];
    std::size_t size = ws_frame_header(header, WsOpcode::binary, payload.size(), mask);
    header[0] = static_cast<char>(first_byte);
    std::string frame(header, size);
    std::string body(payload);
    ws_mask(body.data(), body.size(), mask, 0);
    return frame + body;
}

// Messages as a browser frames them, from a description, with what their
// reading must give.
void describe_messages(std::string_view description, FuzzRandom& random, std::string& stream, Reading& expected)
{
    while (!description.empty()) {
        const auto control = static_cast<std::uint8_t>(description.front());
        description.remove_prefix(1);
        std::string payload(description.substr(0, random.piece(description.size() + 1) - 1));
        description.remove_prefix(payload.size());
        if (control & 1) {
            payload.resize(std::min(payload.size(), WS_CONTROL_MAX));
            stream += masked_frame(0x89, payload, random);
            expected.events += "ping:" + payload + ";";
            expected.pings++;
            continue;
        }
        // Text must be UTF-8: the bytes keep their low seven bits.
        const bool text = (control & 2) != 0;
        if (text)
            for (char& c : payload)
                c = static_cast<char>(c & 0x7F);
        std::string_view rest = payload;
        std::uint8_t opcode = text ? 0x1 : 0x2;
        do {
            std::string_view fragment = rest.substr(0, random.piece(rest.size() + 1) - 1);
            rest.remove_prefix(fragment.size());
            stream += masked_frame(static_cast<std::uint8_t>((rest.empty() ? 0x80 : 0) | opcode), fragment, random);
            opcode = 0x0;
            if (!rest.empty() && (random.next() & 3) == 0) {
                stream += masked_frame(0x89, "", random);
                expected.events += "ping:;";
                expected.pings++;
            }
        } while (!rest.empty());
        expected.bytes += payload;
    }
}

void check_round_trip(std::string_view description, FuzzRandom& random)
{
    std::string stream;
    Reading expected;
    describe_messages(description, random, stream, expected);
    Reading got = read_stream(stream, &random);
    fuzz_require(!got.failed && !got.closed, "valid frames failed");
    fuzz_require(got.bytes == expected.bytes, "the messages' bytes did not come back");
    fuzz_require(got.events == expected.events, "the pings did not come back in order");
}

// The pongs among a server's frames.
std::size_t pongs_in(std::string_view sent)
{
    WsReader reader;
    reader.from_client = false;
    std::size_t pongs = 0;
    char out[WS_CONTROL_MAX];
    for (;;) {
        WsStep step = ws_read(reader, sent, out, sizeof out);
        fuzz_require(step.event != WsEvent::failed, "the server sent a broken frame");
        sent.remove_prefix(step.consumed);
        if (step.event == WsEvent::more)
            return pongs;
        pongs += step.event == WsEvent::pong;
    }
}

void check_transport(std::string_view description, FuzzRandom& random, bool raw)
{
    std::string stream;
    Reading expected;
    // Raw: the bytes as a client sent them, which only must not break the
    // transport; else valid messages, which must all come through.
    if (raw)
        stream = description;
    else
        describe_messages(description, random, stream, expected);
    FakePlatform fake;
    Session session{};
    session.transport.socket = fake.new_socket();
    session.transport.layer = &websocket_transport();
    // Some of it sent before the handshake's answer, as a client may.
    std::size_t fed = std::min(stream.size(), random.piece(WS_EARLY_MAX + 1) - 1);
    session.transport.state = websocket_state(nullptr, "", std::string_view(stream).substr(0, fed));
    fuzz_require(session.transport.state != nullptr, "no state for early bytes within the bound");
    FakeSocket& socket = fake.socket(session.transport.socket);
    std::string got;
    char buffer[10000];
    for (int quiet_reads = 0; quiet_reads < 2;) {
        const std::size_t take = std::min(stream.size() - fed, random.piece(4000) - 1);
        socket.incoming.append(stream, fed, take);
        fed += take;
        const int room = static_cast<int>(random.piece(sizeof buffer));
        const int n = session.transport.layer->recv(session, buffer, room);
        fuzz_require(n <= room, "a read past its room");
        const bool nothing_now = n < 0 && sock_last_error() == WSAEWOULDBLOCK;
        if (raw && n <= 0 && !nothing_now)
            break;
        fuzz_require(n > 0 || nothing_now, "valid messages ended the stream");
        if (n > 0)
            got.append(buffer, static_cast<std::size_t>(n));
        const bool all_in = fed == stream.size() && socket.incoming.empty();
        quiet_reads = nothing_now && all_in && !session.transport.layer->has_buffered_input(session) ? quiet_reads + 1 : 0;
    }
    if (raw) {
        session.transport.layer->release(session);
        return;
    }
    fuzz_require(got == expected.bytes, "the transport lost, added or reordered message bytes");
    fuzz_require(pongs_in(socket.sent) == expected.pings, "a ping went unanswered");
    session.transport.layer->release(session);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    FuzzRandom random(data[1]);
    const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    switch (data[0] % 3) {
    case 0:
        check_pieces(rest, random);
        break;
    case 1:
        check_round_trip(rest, random);
        break;
    default:
        check_transport(rest, random, (data[0] & 4) != 0);
        break;
    }
    return 0;
}
