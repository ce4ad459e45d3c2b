// RFC 6455's framing and the opening handshake's pure parts.
#include "platform/digest.h"
#include "protocol/websocket.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

const std::uint8_t MASK[4] = {0x37, 0xfa, 0x21, 0x3d};

// One frame as a client sends it: masked.
std::string client_frame(std::uint8_t first_byte, std::string_view payload)
{
    char header[WS_HEADER_MAX];
    std::size_t size = ws_frame_header(header, WsOpcode::continuation, payload.size(), MASK);
    header[0] = static_cast<char>(first_byte);
    std::string frame(header, size);
    std::string masked(payload);
    ws_mask(masked.data(), masked.size(), MASK, 0);
    return frame + masked;
}

std::string final_frame(WsOpcode opcode, std::string_view payload)
{
    return client_frame(static_cast<std::uint8_t>(0x80 | static_cast<std::uint8_t>(opcode)), payload);
}

std::string first_fragment(WsOpcode opcode, std::string_view payload)
{
    return client_frame(static_cast<std::uint8_t>(opcode), payload);
}

// What a reader makes of the bytes, fed piece bytes at a time with room
// bytes of output a step: the message bytes, and the events other than data
// written as "<ping:payload>", "<close:code>", "<failed:code>".
std::string read_all(std::string_view bytes, std::size_t piece = SIZE_MAX, std::size_t room = 1 << 20)
{
    WsReader reader;
    std::string buffered;
    std::string result;
    std::vector<char> out(room);
    for (std::size_t fed = 0; fed < bytes.size() || !buffered.empty();) {
        std::size_t take = std::min(piece, bytes.size() - fed);
        buffered.append(bytes.substr(fed, take));
        fed += take;
        for (;;) {
            WsStep step = ws_read(reader, buffered, out.data(), out.size());
            buffered.erase(0, step.consumed);
            switch (step.event) {
            case WsEvent::more:
                break;
            case WsEvent::data:
                result.append(out.data(), step.produced);
                continue;
            case WsEvent::ping:
                result += "<ping:" + std::string(step.payload) + ">";
                continue;
            case WsEvent::pong:
                result += "<pong>";
                continue;
            case WsEvent::close:
                return result + "<close:" + std::to_string(step.close_code) + ">";
            case WsEvent::failed:
                return result + "<failed:" + std::to_string(step.close_code) + ">";
            }
            break;
        }
        if (take == 0)
            break;
    }
    return result;
}

TEST(WebSocketFrames, EachLengthFormIsReadWholeHoweverTheBytesArrive)
{
    for (std::size_t length : {0ul, 1ul, 125ul, 126ul, 65535ul, 65536ul}) {
        std::string payload(length, 'p');
        for (std::size_t i = 0; i < length; i++)
            payload[i] = static_cast<char>(i * 7);
        std::string frame = final_frame(WsOpcode::binary, payload);
        const std::size_t header = length < 126 ? 6 : length <= 0xFFFF ? 8 : 14;
        EXPECT_EQ(frame.size(), header + length) << "the shortest length form for " << length;
        EXPECT_EQ(read_all(frame), payload) << length;
        EXPECT_EQ(read_all(frame, 1, 3), payload) << "byte by byte, three bytes of room: " << length;
    }
    EXPECT_EQ(read_all(final_frame(WsOpcode::binary, std::string(65537, 'x')), 100),
              "<failed:1009>") << "refused at its header, before the payload";
}

TEST(WebSocketFrames, FragmentsMakeOneMessageAndControlFramesMayComeBetween)
{
    std::string stream = first_fragment(WsOpcode::text, "he") + final_frame(WsOpcode::ping, "are you") +
                         client_frame(0x00, "l") + final_frame(WsOpcode::pong, "") +
                         client_frame(0x80, "lo") + final_frame(WsOpcode::binary, "\xff\x80") +
                         final_frame(WsOpcode::close, "\x03\xe8" "bye");
    const std::string expected = "he<ping:are you>l<pong>lo\xff\x80<close:1000>";
    for (std::size_t piece : {SIZE_MAX, 1ul, 5ul})
        EXPECT_EQ(read_all(stream, piece, 2), expected) << piece;
    EXPECT_EQ(read_all(final_frame(WsOpcode::close, "")), "<close:1005>") << "a close without a code";
    // The fragments of a message count together against its bound.
    std::string half(WS_MESSAGE_MAX / 2, 'a');
    EXPECT_EQ(read_all(first_fragment(WsOpcode::binary, half) + client_frame(0x00, half) +
                       client_frame(0x80, "b")),
              half + half + "<failed:1009>");
}

TEST(WebSocketFrames, ProtocolFaultsCloseWithTheirCodes)
{
    char unmasked_header[WS_HEADER_MAX];
    std::size_t size = ws_frame_header(unmasked_header, WsOpcode::binary, 1);
    const std::pair<std::string, std::string> cases[] = {
        {std::string(unmasked_header, size) + "a", "<failed:1002>"},
        {client_frame(0xC2, "a"), "<failed:1002>"},                  // a reserved bit
        {client_frame(0x83, "a"), "<failed:1002>"},                  // opcode 3
        {client_frame(0x8B, "a"), "<failed:1002>"},                  // opcode 0xB
        {client_frame(0x09, "a"), "<failed:1002>"},                  // a fragmented ping
        {final_frame(WsOpcode::ping, std::string(126, 'a')), "<failed:1002>"},
        {client_frame(0x80, "a"), "<failed:1002>"},                  // a continuation alone
        {first_fragment(WsOpcode::binary, "a") + final_frame(WsOpcode::text, "b"), "a<failed:1002>"},
        {final_frame(WsOpcode::close, "\x03"), "<failed:1002>"},     // one byte
        {final_frame(WsOpcode::close, "\x03\xed"), "<failed:1002>"}, // 1005 is not sent
        {final_frame(WsOpcode::close, "\x03\xe8\xc0"), "<failed:1007>"},
        {final_frame(WsOpcode::text, "\xc0\xafok"), "<failed:1007>"},
        // A character may be cut between fragments, but not end a message.
        {first_fragment(WsOpcode::text, "\xe2\x82") + client_frame(0x80, "\xac"), "\xe2\x82\xac"},
        {first_fragment(WsOpcode::text, "\xe2\x82") + client_frame(0x80, ""), "\xe2\x82<failed:1007>"},
        {"\x82\xff\x80\0\0\0\0\0\0\0"s + "mask", "<failed:1002>"},   // a 64-bit length's top bit
    };
    for (const auto& [bytes, expected] : cases) {
        EXPECT_EQ(read_all(bytes), expected) << testing::PrintToString(bytes);
        EXPECT_EQ(read_all(bytes, 1), expected) << "byte by byte: " << testing::PrintToString(bytes);
    }
    WsReader reader;
    char out[8];
    ws_read(reader, client_frame(0x83, ""), out, sizeof out);
    WsStep again = ws_read(reader, final_frame(WsOpcode::binary, "fine"), out, sizeof out);
    EXPECT_EQ(again.event, WsEvent::failed) << "a failure is final";
    EXPECT_STREQ(again.reason, "an unknown opcode");
}

TEST(WebSocketFrames, AClientReadsUnmaskedFramesAndRefusesMaskedOnes)
{
    WsReader reader;
    reader.from_client = false;
    std::string frame = ws_server_frame(WsOpcode::binary, "abc\xa6");
    char out[16];
    WsStep header = ws_read(reader, frame, out, sizeof out);
    WsStep payload = ws_read(reader, std::string_view(frame).substr(header.consumed), out, sizeof out);
    EXPECT_EQ(std::string(out, payload.produced), "abc\xa6");
    WsReader strict;
    strict.from_client = false;
    EXPECT_EQ(ws_read(strict, final_frame(WsOpcode::binary, "a"), out, sizeof out).event, WsEvent::failed);
}

TEST(WebSocketUtf8, RefusesOverlongSurrogatesAndCodePointsPastTheLast)
{
    auto valid = [](std::string_view bytes) {
        Utf8Check check;
        return utf8_feed(check, bytes) && utf8_whole(check);
    };
    EXPECT_TRUE(valid("plain \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"));
    for (std::string_view bad : {"\xc0\x80", "\xc1\xbf", "\xe0\x9f\xbf", "\xed\xa0\x80", "\xf0\x8f\xbf\xbf",
                                 "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\x80", "\xe2\x82"})
        EXPECT_FALSE(valid(bad)) << testing::PrintToString(bad);
}

const std::string BROWSER_REQUEST = "GET /ws HTTP/1.1\r\n"
                                    "Host: 127.0.0.1:8080\r\n"
                                    "Connection: keep-alive, Upgrade\r\n"
                                    "Upgrade: websocket\r\n"
                                    "Origin: http://127.0.0.1:8080\r\n"
                                    "Sec-WebSocket-Version: 13\r\n"
                                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                    "Sec-WebSocket-Protocol: chat, quillmarsh\r\n"
                                    "X-Forwarded-For: 192.0.2.1\r\n"
                                    "x-forwarded-for: [2001:db8::7]:4711, 198.51.100.9:80\r\n\r\n";

WsRequest request_of(const std::string& bytes)
{
    HttpHeadReader reader;
    HttpHead head = read_http_head(reader, bytes);
    EXPECT_EQ(head.status, HttpHeadStatus::complete) << bytes;
    return ws_read_request(std::string_view(bytes).substr(0, http_head_length(reader)), head);
}

std::string replaced(std::string text, std::string_view what, std::string_view with)
{
    return text.replace(text.find(what), what.size(), with);
}

TEST(WebSocketHandshake, ReadsABrowsersRequestAndAnswersIt)
{
    WsRequest request = request_of(BROWSER_REQUEST);
    EXPECT_EQ(request.kind, WsRequestKind::upgrade);
    EXPECT_EQ(request.host, "127.0.0.1:8080");
    EXPECT_EQ(request.origin, "http://127.0.0.1:8080");
    EXPECT_TRUE(request.offers_subprotocol);
    EXPECT_EQ(ws_forwarded_entries(request.forwarded_for),
              (std::vector<std::string_view>{"192.0.2.1", "2001:db8::7", "198.51.100.9"}))
        << "every field, in order, without ports";
    EXPECT_EQ(ws_accept_input(request.key), "dGhlIHNhbXBsZSBub25jZQ==258EAFA5-E914-47DA-95CA-C5AB0DC85B11");
    EXPECT_EQ(ws_accept_response("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", true),
              "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\nSec-WebSocket-Protocol: quillmarsh\r\n\r\n");
}

TEST(WebSocketHandshake, TheAcceptKeyIsTheCryptoLibrarysSha1InBase64)
{
    if (!sha1_available())
        GTEST_SKIP() << sha1_unavailable_reason();
    EXPECT_EQ(sha1_base64(ws_accept_input("dGhlIHNhbXBsZSBub25jZQ==")), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=")
        << "RFC 6455's own example";
    EXPECT_EQ(sha1_base64(""), "2jmj7l5rSw0yVb/vlWAYkK/YBwk=");
}

TEST(WebSocketHandshake, TellsPagesFromBadUpgradesAndOtherVersions)
{
    EXPECT_EQ(request_of("GET / HTTP/1.1\r\nHost: h\r\n\r\n").kind, WsRequestKind::plain);
    EXPECT_EQ(request_of("GET / HTTP/1.1\r\nHost: h\r\nUpgrade: h2c\r\nConnection: Upgrade\r\n\r\n").kind,
              WsRequestKind::plain);
    for (const auto& [what, with] : std::vector<std::pair<std::string, std::string>>{
             {"keep-alive, Upgrade", "keep-alive"},
             {"dGhlIHNhbXBsZSBub25jZQ==", "dGhlIHNhbXBsZSBub25jZQ"},
             {"Host: 127.0.0.1:8080\r\n", ""},
             {"GET", "POST"}})
        EXPECT_EQ(request_of(replaced(BROWSER_REQUEST, what, with)).kind, WsRequestKind::bad_request) << what;
    EXPECT_EQ(request_of(replaced(BROWSER_REQUEST, "Version: 13", "Version: 8")).kind,
              WsRequestKind::wrong_version);
    std::string refusal = ws_version_response();
    EXPECT_TRUE(refusal.starts_with("HTTP/1.1 426 Upgrade Required\r\n")) << refusal;
    EXPECT_NE(refusal.find("\r\nSec-WebSocket-Version: 13\r\n\r\n"), std::string::npos) << refusal;
}

TEST(WebSocketHandshake, AnOriginIsThePagesOwnOnlyWithItsSchemeHostAndPort)
{
    EXPECT_TRUE(ws_origin_is_own("http://127.0.0.1:8080", "127.0.0.1:8080", false));
    EXPECT_TRUE(ws_origin_is_own("HTTP://Chat.Example.COM", "chat.example.com:80", false));
    EXPECT_TRUE(ws_origin_is_own("https://chat.example.com", "chat.example.com", true));
    EXPECT_TRUE(ws_origin_is_own("http://[::1]:8080", "[::1]:8080", false));
    EXPECT_FALSE(ws_origin_is_own("https://127.0.0.1:8080", "127.0.0.1:8080", false)) << "scheme";
    EXPECT_FALSE(ws_origin_is_own("http://127.0.0.1:8081", "127.0.0.1:8080", false)) << "port";
    EXPECT_FALSE(ws_origin_is_own("http://evil.example:8080", "127.0.0.1:8080", false)) << "host";
    EXPECT_FALSE(ws_origin_is_own("http://chat.example.com", "chat.example.com", true)) << "default ports";
    EXPECT_FALSE(ws_origin_is_own("null", "127.0.0.1:8080", false));
    EXPECT_FALSE(ws_origin_is_own("http://127.0.0.1:8080", "127.0.0.1:", false));
    EXPECT_FALSE(ws_origin_is_own("http://127.0.0.1:8080/x", "127.0.0.1:8080", false));
}

TEST(HttpFields, AreFoundInAnyCaseAndJoinedAsAList)
{
    const std::string head = "GET / HTTP/1.1\r\nAccept: a\r\nACCEPT:  b \r\nHost: h\r\n\r\n";
    bool found = false;
    EXPECT_EQ(http_field(head, "accept", &found), "a,b");
    EXPECT_TRUE(found);
    EXPECT_EQ(http_field(head, "Origin", &found), "");
    EXPECT_FALSE(found);
    EXPECT_EQ(http_field("GET /x:y HTTP/1.1\r\n\r\n", "GET /x"), "") << "the request line is no field";
    EXPECT_TRUE(http_list_has(" keep-alive ,UPGRADE", "upgrade"));
    EXPECT_FALSE(http_list_has("upgraded", "upgrade"));
}

TEST(HttpHead, AReaderMayAllowALongerHead)
{
    const std::string request = "GET / HTTP/1.1\r\nCookie: " + std::string(6000, 'c') + "\r\n\r\n";
    HttpHeadReader scrape;
    EXPECT_EQ(read_http_head(scrape, request).status, HttpHeadStatus::too_large);
    HttpHeadReader browser;
    browser.head_max = 8192;
    EXPECT_EQ(read_http_head(browser, request + "after").status, HttpHeadStatus::complete);
    EXPECT_EQ(http_head_length(browser), request.size());
}

} // namespace
