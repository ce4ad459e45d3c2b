// RFC 6455 (WebSocket) as pure functions over bytes: the frame header, the
// masking, UTF-8 validation, close codes, a reader that turns a peer's
// frames into message bytes and control frames as they arrive, and the
// opening handshake's request and answer. The SHA-1 and base64 of the
// handshake's accept key are the crypto library's, not this layer's.
#pragma once

#include "protocol/http_request.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class WsOpcode : std::uint8_t {
    continuation = 0x0,
    text = 0x1,
    binary = 0x2,
    close = 0x8,
    ping = 0x9,
    pong = 0xA,
};

// The close codes this side sends (RFC 6455, 7.4.1).
namespace ws_close {
constexpr std::uint16_t NORMAL = 1000;
constexpr std::uint16_t PROTOCOL_ERROR = 1002;
// The peer's close carried no code: never sent, only reported.
constexpr std::uint16_t NO_CODE = 1005;
constexpr std::uint16_t BAD_DATA = 1007; // a text message that is not UTF-8
constexpr std::uint16_t TOO_BIG = 1009;
} // namespace ws_close

// The longest message taken, all its fragments together.
constexpr std::uint64_t WS_MESSAGE_MAX = 65536;
// A control frame's payload, at most (RFC 6455, 5.5).
constexpr std::size_t WS_CONTROL_MAX = 125;
// The longest frame header: 2 bytes, an 8-byte length and a 4-byte mask.
constexpr std::size_t WS_HEADER_MAX = 14;

// Whether a peer may close with code (RFC 6455, 7.4): 1000-1003, 1007-1011
// and 3000-4999.
bool ws_close_code_valid(std::uint16_t code);

// XORs data with the 4-byte mask, starting at position offset of the mask's
// cycle (the payload's byte count before data). Its own inverse.
void ws_mask(char* data, std::size_t size, const std::uint8_t mask[4], std::uint64_t offset);

// Writes the header of one final frame with length bytes of payload: masked
// with mask when it is given (a client's frame), else unmasked (a
// server's). Returns its size, 2 to WS_HEADER_MAX.
std::size_t ws_frame_header(char* out, WsOpcode opcode, std::uint64_t length,
                            const std::uint8_t* mask = nullptr);

// One whole unmasked final frame (a server's), header and payload.
std::string ws_server_frame(WsOpcode opcode, std::string_view payload);

// A close frame's payload: the code in network order, then the reason, cut
// to fit WS_CONTROL_MAX.
std::string ws_close_payload(std::uint16_t code, std::string_view reason);

// UTF-8 checked as its bytes arrive, in pieces cut anywhere: overlong forms,
// surrogates and code points past U+10FFFF are refused.
struct Utf8Check {
    std::uint8_t continuations = 0; // bytes still owed by the current character
    std::uint8_t lowest = 0x80;     // the range the next continuation byte must be in
    std::uint8_t highest = 0xBF;
};

// False at the first byte that cannot continue valid UTF-8.
bool utf8_feed(Utf8Check& check, std::string_view bytes);
// Whether the bytes fed so far end on a whole character.
inline bool utf8_whole(const Utf8Check& check)
{
    return check.continuations == 0;
}

// What one step of a WsReader found.
enum class WsEvent {
    more,   // nothing more can be taken without more bytes (or room)
    data,   // message payload bytes were written (maybe none: a frame began or ended)
    ping,   // a ping: answer with a pong of its payload
    pong,   // a pong: nothing to do
    close,  // the peer closes: answer with a close, then close
    failed, // the peer broke the protocol: close with close_code
};

struct WsStep {
    WsEvent event = WsEvent::more;
    std::size_t consumed = 0; // input bytes taken
    std::size_t produced = 0; // payload bytes written to out (data)
    // A ping's or a close's payload (a close's code and reason), valid
    // until the next step.
    std::string_view payload;
    // The peer's code (close; NO_CODE when it gave none), or the code to
    // close with (failed).
    std::uint16_t close_code = 0;
    const char* reason = ""; // failed: what was wrong, for the log
};

// Reads the frames of one peer, message bytes unmasked and in order, as
// their bytes arrive. A data frame's payload is passed on as it comes, so
// the caller needs room only for a control frame's bytes (WS_HEADER_MAX +
// WS_CONTROL_MAX) before a step can go on. Zero-initialised but for
// from_client; a failure is final.
struct WsReader {
    // A server reads a client's frames, which must be masked; a client
    // reads a server's, which must not be.
    bool from_client = true;
    // Once failed, every step fails again with the first code and reason.
    bool failed = false;
    std::uint16_t failure_code = 0;
    const char* failure_reason = "";
    // The data frame whose payload is being read.
    bool in_frame = false;
    bool final_frame = false;
    std::uint64_t frame_left = 0;
    std::uint8_t mask[4]{};
    std::uint64_t mask_offset = 0;
    // The message its fragments make.
    bool in_message = false;
    bool text = false;
    std::uint64_t message_size = 0;
    Utf8Check utf8;
    char control[WS_CONTROL_MAX]{};
};

// Takes one step over input, the bytes received and not yet consumed:
// reads a header, or writes up to room payload bytes to out, or takes a
// whole control frame. Returns what happened; the caller drops
// step.consumed bytes from the front of its input and steps again, until
// the event is more. Cost: O(bytes taken).
WsStep ws_read(WsReader& reader, std::string_view input, char* out, std::size_t room);

// The opening handshake (RFC 6455, 4.2).

// The key's GUID, which the accept key is the SHA-1 of the key with.
constexpr std::string_view WS_GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
// The subprotocol this server speaks, chosen when a client offers it.
constexpr std::string_view WS_SUBPROTOCOL = "quillmarsh";

enum class WsRequestKind {
    plain,         // an ordinary request: no Upgrade header
    upgrade,       // a valid WebSocket opening request
    bad_request,   // asks for an upgrade but breaks the handshake's rules: 400
    wrong_version, // Sec-WebSocket-Version is not 13: 426
};

struct WsRequest {
    WsRequestKind kind = WsRequestKind::plain;
    std::string key;    // Sec-WebSocket-Key
    std::string host;   // the Host field
    std::string origin; // the Origin field, when has_origin
    bool has_origin = false;
    bool offers_subprotocol = false; // Sec-WebSocket-Protocol lists quillmarsh
    std::string forwarded_for;       // the X-Forwarded-For fields, joined
};

// Reads the fields of a complete request head (its bytes from the request
// line to the empty line) whose method and path head gives.
WsRequest ws_read_request(std::string_view head_bytes, const HttpHead& head);

// Whether key is what a Sec-WebSocket-Key must be: 16 bytes in base64.
bool ws_key_valid(std::string_view key);

// The bytes whose SHA-1, in base64, is the accept key: the key, then the GUID.
std::string ws_accept_input(std::string_view key);

// The answer that completes the handshake, naming the subprotocol when the
// client offered it.
std::string ws_accept_response(std::string_view accept_key, bool subprotocol);

// The answer to a version other than 13: 426 with the version spoken.
std::string ws_version_response();

// Whether origin (an Origin field: "scheme://host[:port]") is the page's
// own: its scheme http (https when secure) and its host and port those of
// the Host field, a missing port being the scheme's default. Host names are
// compared without regard to case.
bool ws_origin_is_own(std::string_view origin, std::string_view host, bool secure);

// origin in lower case, for a match against the operator's patterns: the
// scheme and host of an origin are case-insensitive, and browsers send them
// in lower case anyway.
std::string ws_origin_folded(std::string_view origin);

// The entries of an X-Forwarded-For list (its fields' values joined with
// commas), in order, each trimmed of blanks; a bracketed IPv6 address loses
// its brackets and any port, "a.b.c.d:port" its port. Each proxy appends the
// address it saw, so the caller walks them from the right.
std::vector<std::string_view> ws_forwarded_entries(std::string_view forwarded_for);
