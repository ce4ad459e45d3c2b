#include "protocol/websocket.h"

#include <algorithm>
#include <cstring>

bool ws_close_code_valid(std::uint16_t code)
{
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1011) ||
           (code >= 3000 && code <= 4999);
}

// A browser's frames are small and a relay's many: eight bytes at a time.
void ws_mask(char* data, std::size_t size, const std::uint8_t mask[4], std::uint64_t offset)
{
    std::uint8_t cycle[8];
    for (std::size_t i = 0; i < 8; i++)
        cycle[i] = mask[(offset + i) & 3];
    std::uint64_t word_mask;
    std::memcpy(&word_mask, cycle, 8);
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        word ^= word_mask;
        std::memcpy(data + i, &word, 8);
    }
    // The cycle repeats every four bytes, and i is a multiple of eight.
    for (; i < size; i++)
        data[i] = static_cast<char>(data[i] ^ cycle[i & 7]);
}

std::size_t ws_frame_header(char* out, WsOpcode opcode, std::uint64_t length, const std::uint8_t* mask)
{
    out[0] = static_cast<char>(0x80 | static_cast<std::uint8_t>(opcode));
    std::size_t size = 2;
    if (length < 126) {
        out[1] = static_cast<char>(length);
    } else if (length <= 0xFFFF) {
        out[1] = 126;
        out[2] = static_cast<char>(length >> 8);
        out[3] = static_cast<char>(length);
        size = 4;
    } else {
        out[1] = 127;
        for (int i = 0; i < 8; i++)
            out[2 + i] = static_cast<char>(length >> (56 - 8 * i));
        size = 10;
    }
    if (mask) {
        out[1] = static_cast<char>(out[1] | 0x80);
        std::memcpy(out + size, mask, 4);
        size += 4;
    }
    return size;
}

std::string ws_server_frame(WsOpcode opcode, std::string_view payload)
{
    char header[WS_HEADER_MAX];
    std::size_t size = ws_frame_header(header, opcode, payload.size());
    std::string frame(header, size);
    frame += payload;
    return frame;
}

std::string ws_close_payload(std::uint16_t code, std::string_view reason)
{
    std::string payload;
    payload += static_cast<char>(code >> 8);
    payload += static_cast<char>(code & 0xFF);
    payload += reason.substr(0, WS_CONTROL_MAX - 2);
    return payload;
}

bool utf8_feed(Utf8Check& check, std::string_view bytes)
{
    for (char c : bytes) {
        const auto byte = static_cast<std::uint8_t>(c);
        if (check.continuations > 0) {
            if (byte < check.lowest || byte > check.highest)
                return false;
            check.continuations--;
            check.lowest = 0x80;
            check.highest = 0xBF;
            continue;
        }
        if (byte < 0x80)
            continue;
        // 0x80-0xC1 cannot start a character (a continuation, or an
        // overlong two-byte form); past 0xF4 lies beyond U+10FFFF.
        if (byte < 0xC2 || byte > 0xF4)
            return false;
        if (byte < 0xE0) {
            check.continuations = 1;
        } else if (byte < 0xF0) {
            check.continuations = 2;
            if (byte == 0xE0)
                check.lowest = 0xA0; // overlong
            if (byte == 0xED)
                check.highest = 0x9F; // surrogates
        } else {
            check.continuations = 3;
            if (byte == 0xF0)
                check.lowest = 0x90; // overlong
            if (byte == 0xF4)
                check.highest = 0x8F; // past U+10FFFF
        }
    }
    return true;
}

namespace {

WsStep fail(WsReader& reader, std::uint16_t code, const char* reason)
{
    if (!reader.failed) {
        reader.failed = true;
        reader.failure_code = code;
        reader.failure_reason = reason;
    }
    WsStep step;
    step.event = WsEvent::failed;
    step.close_code = reader.failure_code;
    step.reason = reader.failure_reason;
    return step;
}

bool is_control(std::uint8_t opcode)
{
    return (opcode & 0x8) != 0;
}

bool is_known_opcode(std::uint8_t opcode)
{
    switch (static_cast<WsOpcode>(opcode)) {
    case WsOpcode::continuation:
    case WsOpcode::text:
    case WsOpcode::binary:
    case WsOpcode::close:
    case WsOpcode::ping:
    case WsOpcode::pong:
        return true;
    }
    return false;
}

// A message has ended with its last frame; a text message must end on a
// whole character.
WsStep end_message(WsReader& reader, WsStep step)
{
    reader.in_message = false;
    if (reader.text && !utf8_whole(reader.utf8))
        return fail(reader, ws_close::BAD_DATA, "a text message that is not UTF-8");
    return step;
}

WsStep read_payload(WsReader& reader, std::string_view input, char* out, std::size_t room)
{
    const std::size_t n = static_cast<std::size_t>(
        std::min<std::uint64_t>(reader.frame_left, std::min(input.size(), room)));
    if (n == 0)
        return {};
    std::memcpy(out, input.data(), n);
    if (reader.from_client)
        ws_mask(out, n, reader.mask, reader.mask_offset);
    reader.mask_offset += n;
    reader.frame_left -= n;
    if (reader.text && !utf8_feed(reader.utf8, std::string_view(out, n)))
        return fail(reader, ws_close::BAD_DATA, "a text message that is not UTF-8");
    WsStep step;
    step.event = WsEvent::data;
    step.consumed = step.produced = n;
    if (reader.frame_left > 0)
        return step;
    reader.in_frame = false;
    return reader.final_frame ? end_message(reader, step) : step;
}

WsStep read_close(WsReader& reader, WsStep step, std::size_t length)
{
    step.event = WsEvent::close;
    step.close_code = ws_close::NO_CODE;
    if (length == 0)
        return step;
    if (length == 1)
        return fail(reader, ws_close::PROTOCOL_ERROR, "a close frame of one byte");
    step.close_code = static_cast<std::uint16_t>(static_cast<std::uint8_t>(reader.control[0]) << 8 |
                                                 static_cast<std::uint8_t>(reader.control[1]));
    if (!ws_close_code_valid(step.close_code))
        return fail(reader, ws_close::PROTOCOL_ERROR, "an invalid close code");
    Utf8Check check;
    if (!utf8_feed(check, step.payload.substr(2)) || !utf8_whole(check))
        return fail(reader, ws_close::BAD_DATA, "a close reason that is not UTF-8");
    return step;
}

// A whole control frame; header_size bytes of header precede its payload.
WsStep read_control(WsReader& reader, std::string_view input, std::uint8_t opcode, std::size_t header_size,
                    std::size_t length)
{
    if (input.size() < header_size + length)
        return {};
    std::memcpy(reader.control, input.data() + header_size, length);
    if (reader.from_client)
        ws_mask(reader.control, length, reader.mask, 0);
    WsStep step;
    step.consumed = header_size + length;
    step.payload = std::string_view(reader.control, length);
    switch (static_cast<WsOpcode>(opcode)) {
    case WsOpcode::ping:
        step.event = WsEvent::ping;
        return step;
    case WsOpcode::close:
        return read_close(reader, step, length);
    default:
        step.event = WsEvent::pong;
        return step;
    }
}

// The first frame of a message sets its kind; the size of all its frames
// is checked at each header, so a peer cannot make the reader take more.
WsStep start_data_frame(WsReader& reader, std::uint8_t opcode, bool final_frame, std::size_t header_size,
                        std::uint64_t length)
{
    if (static_cast<WsOpcode>(opcode) != WsOpcode::continuation) {
        reader.in_message = true;
        reader.text = static_cast<WsOpcode>(opcode) == WsOpcode::text;
        reader.message_size = 0;
        reader.utf8 = Utf8Check{};
    }
    if (length > WS_MESSAGE_MAX - reader.message_size)
        return fail(reader, ws_close::TOO_BIG, "a message over 65536 bytes");
    reader.message_size += length;
    reader.final_frame = final_frame;
    reader.frame_left = length;
    reader.mask_offset = 0;
    reader.in_frame = length > 0;
    WsStep step;
    step.event = WsEvent::data;
    step.consumed = header_size;
    return length == 0 && final_frame ? end_message(reader, step) : step;
}

// What the first two bytes allow to judge, before the rest of the header.
const char* first_bytes_fault(const WsReader& reader, std::uint8_t b0, std::uint8_t b1)
{
    const std::uint8_t opcode = b0 & 0x0F;
    const bool final_frame = (b0 & 0x80) != 0;
    const bool masked = (b1 & 0x80) != 0;
    if ((b0 & 0x70) != 0)
        return "reserved bits set";
    if (!is_known_opcode(opcode))
        return "an unknown opcode";
    if (masked != reader.from_client)
        return reader.from_client ? "an unmasked frame" : "a masked frame";
    if (is_control(opcode) && !final_frame)
        return "a fragmented control frame";
    if (is_control(opcode) && (b1 & 0x7F) > WS_CONTROL_MAX)
        return "a control frame over 125 bytes";
    if (static_cast<WsOpcode>(opcode) == WsOpcode::continuation && !reader.in_message)
        return "a continuation outside a message";
    if (!is_control(opcode) && static_cast<WsOpcode>(opcode) != WsOpcode::continuation && reader.in_message)
        return "a new message inside a fragmented one";
    return nullptr;
}

WsStep read_header(WsReader& reader, std::string_view input)
{
    if (input.size() < 2)
        return {};
    const auto b0 = static_cast<std::uint8_t>(input[0]);
    const auto b1 = static_cast<std::uint8_t>(input[1]);
    if (const char* fault = first_bytes_fault(reader, b0, b1))
        return fail(reader, ws_close::PROTOCOL_ERROR, fault);
    const std::uint8_t length7 = b1 & 0x7F;
    const std::size_t length_bytes = length7 == 127 ? 8 : length7 == 126 ? 2 : 0;
    const std::size_t header_size = 2 + length_bytes + (reader.from_client ? 4 : 0);
    if (input.size() < header_size)
        return {};
    std::uint64_t length = length7;
    if (length_bytes > 0) {
        length = 0;
        for (std::size_t i = 0; i < length_bytes; i++)
            length = length << 8 | static_cast<std::uint8_t>(input[2 + i]);
    }
    if (length >> 63)
        return fail(reader, ws_close::PROTOCOL_ERROR, "a length with its top bit set");
    if (reader.from_client)
        std::memcpy(reader.mask, input.data() + 2 + length_bytes, 4);
    const std::uint8_t opcode = b0 & 0x0F;
    if (is_control(opcode))
        return read_control(reader, input, opcode, header_size, static_cast<std::size_t>(length));
    return start_data_frame(reader, opcode, (b0 & 0x80) != 0, header_size, length);
}

} // namespace

WsStep ws_read(WsReader& reader, std::string_view input, char* out, std::size_t room)
{
    if (reader.failed)
        return fail(reader, reader.failure_code, reader.failure_reason);
    if (reader.in_frame)
        return read_payload(reader, input, out, room);
    return read_header(reader, input);
}

bool ws_key_valid(std::string_view key)
{
    auto is_base64 = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
               c == '/';
    };
    return key.size() == 24 && key.substr(22) == "==" &&
           std::all_of(key.begin(), key.begin() + 22, is_base64);
}

WsRequest ws_read_request(std::string_view head_bytes, const HttpHead& head)
{
    WsRequest request;
    // Another protocol named in Upgrade (h2c) may be ignored, as HTTP lets a
    // server do: the request is then an ordinary one.
    if (!http_list_has(http_field(head_bytes, "Upgrade"), "websocket"))
        return request;
    request.kind = WsRequestKind::bad_request;
    bool has_host = false;
    request.host = http_field(head_bytes, "Host", &has_host);
    request.key = http_field(head_bytes, "Sec-WebSocket-Key");
    if (head.method != "GET" || !http_list_has(http_field(head_bytes, "Connection"), "Upgrade") ||
        !has_host || request.host.empty() || !ws_key_valid(request.key))
        return request;
    if (http_field(head_bytes, "Sec-WebSocket-Version") != "13") {
        request.kind = WsRequestKind::wrong_version;
        return request;
    }
    request.origin = http_field(head_bytes, "Origin", &request.has_origin);
    request.offers_subprotocol = http_list_has(http_field(head_bytes, "Sec-WebSocket-Protocol"), WS_SUBPROTOCOL);
    request.forwarded_for = http_field(head_bytes, "X-Forwarded-For");
    request.kind = WsRequestKind::upgrade;
    return request;
}

std::string ws_accept_input(std::string_view key)
{
    std::string input(key);
    input += WS_GUID;
    return input;
}

std::string ws_accept_response(std::string_view accept_key, bool subprotocol)
{
    std::string response = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                           "Connection: Upgrade\r\nSec-WebSocket-Accept: ";
    response += accept_key;
    response += "\r\n";
    if (subprotocol) {
        response += "Sec-WebSocket-Protocol: ";
        response += WS_SUBPROTOCOL;
        response += "\r\n";
    }
    response += "\r\n";
    return response;
}

std::string ws_version_response()
{
    return http_with_fields(http_error_response(HttpStatus::upgrade_required), "Sec-WebSocket-Version: 13\r\n");
}

namespace {

struct HostPort {
    std::string_view host;
    std::uint32_t port = 0;
};

// "host", "host:port", "[v6]" or "[v6]:port"; a missing port is
// default_port. False when the port is not a number from 1 to 65535.
bool split_host_port(std::string_view text, std::uint32_t default_port, HostPort& out)
{
    if (text.empty())
        return false;
    std::size_t host_end = text.front() == '[' ? text.find(']') : text.find(':');
    if (host_end == std::string_view::npos)
        host_end = text.size();
    else if (text.front() == '[')
        host_end++;
    out.host = text.substr(0, host_end);
    std::string_view rest = text.substr(host_end);
    out.port = default_port;
    if (rest.empty())
        return !out.host.empty();
    if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6)
        return false;
    std::uint32_t port = 0;
    for (char c : rest.substr(1)) {
        if (c < '0' || c > '9')
            return false;
        port = port * 10 + static_cast<std::uint32_t>(c - '0');
    }
    out.port = port;
    return !out.host.empty() && port >= 1 && port <= 65535;
}

} // namespace

bool ws_origin_is_own(std::string_view origin, std::string_view host, bool secure)
{
    const std::string_view scheme = secure ? "https://" : "http://";
    const std::uint32_t default_port = secure ? 443 : 80;
    if (origin.size() <= scheme.size() || !ascii_equal_ignoring_case(origin.substr(0, scheme.size()), scheme) ||
        host.empty())
        return false;
    HostPort theirs;
    HostPort ours;
    return split_host_port(origin.substr(scheme.size()), default_port, theirs) &&
           split_host_port(host, default_port, ours) && theirs.port == ours.port &&
           ascii_equal_ignoring_case(theirs.host, ours.host);
}

std::string ws_origin_folded(std::string_view origin)
{
    return ascii_lower(origin);
}

std::vector<std::string_view> ws_forwarded_entries(std::string_view forwarded_for)
{
    std::vector<std::string_view> entries;
    while (!forwarded_for.empty()) {
        std::size_t comma = std::min(forwarded_for.find(','), forwarded_for.size());
        std::string_view entry = forwarded_for.substr(0, comma);
        forwarded_for.remove_prefix(std::min(comma + 1, forwarded_for.size()));
        entry = trim_blanks(entry);
        if (entry.starts_with('[') && entry.find(']') != std::string_view::npos)
            entry = entry.substr(1, entry.find(']') - 1);
        else if (std::count(entry.begin(), entry.end(), ':') == 1)
            entry = entry.substr(0, entry.find(':'));
        entries.push_back(entry);
    }
    return entries;
}
