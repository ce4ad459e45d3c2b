// The WebSocket frame reader. The first byte picks the mode:
// - even: the rest is a client's byte stream, read in pieces of random size
//   with random room for payload; what comes out (bytes and events) must be
//   what reading it whole gives, and no step may take more than it has or
//   write more than its room;
// - odd: the rest describes messages (binary or text, cut into fragments,
//   pings between them) that are framed and masked as a browser would; read
//   back in random pieces they must give every payload byte and every ping,
//   in order, and no failure.
#include "fuzz/fuzz_support.h"
#include "protocol/websocket.h"

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

void check_round_trip(std::string_view description, FuzzRandom& random)
{
    std::string stream;
    Reading expected;
    while (!description.empty()) {
        const auto control = static_cast<std::uint8_t>(description.front());
        description.remove_prefix(1);
        std::string payload(description.substr(0, random.piece(description.size() + 1) - 1));
        description.remove_prefix(payload.size());
        if (control & 1) {
            payload.resize(std::min(payload.size(), WS_CONTROL_MAX));
            stream += masked_frame(0x89, payload, random);
            expected.events += "ping:" + payload + ";";
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
            }
        } while (!rest.empty());
        expected.bytes += payload;
    }
    Reading got = read_stream(stream, &random);
    fuzz_require(!got.failed && !got.closed, "valid frames failed");
    fuzz_require(got.bytes == expected.bytes, "the messages' bytes did not come back");
    fuzz_require(got.events == expected.events, "the pings did not come back in order");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    FuzzRandom random(data[1]);
    const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    if (data[0] & 1)
        check_round_trip(rest, random);
    else
        check_pieces(rest, random);
    return 0;
}
