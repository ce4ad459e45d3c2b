// The WebSocket transport over a faked socket: what the session reads of a
// client's messages, and what the client gets of prompts and frames.
#include "protocol/frame.h"
#include "protocol/websocket.h"
#include "switch/websocket_transport.h"
#include "tests/support/fake_platform.h"

#include <gtest/gtest.h>
#include <string>

namespace {

const std::uint8_t MASK_KEY[4] = {0xa1, 0x02, 0xc3, 0x44};

std::string client_message(WsOpcode opcode, std::string_view payload)
{
    char header[WS_HEADER_MAX];
    std::string message(header, ws_frame_header(header, opcode, payload.size(), MASK_KEY));
    std::string body(payload);
    ws_mask(body.data(), body.size(), MASK_KEY, 0);
    return message + body;
}

const char ANSWER[] = "HTTP/1.1 101 Switching Protocols\r\n\r\n";

struct WebSocketTransport : ::testing::Test {
    WebSocketTransport()
    {
        session.transport.socket = fake.new_socket();
        session.transport.layer = &websocket_transport();
        session.transport.state = websocket_state(nullptr, ANSWER, "");
    }
    ~WebSocketTransport() override { transport().release(session); }
    const Transport& transport() { return *session.transport.layer; }
    FakeSocket& socket() { return fake.socket(session.transport.socket); }

    // Everything the transport reads, size bytes a call, until it has nothing.
    std::string read_all(int size = 9945)
    {
        std::string got;
        std::vector<char> buffer(static_cast<std::size_t>(size));
        for (int n; (n = transport().recv(session, buffer.data(), size)) > 0;)
            got.append(buffer.data(), static_cast<std::size_t>(n));
        return got;
    }

    FakePlatform fake;
    Session session{};
};

TEST_F(WebSocketTransport, TheAnswerGoesFirstEvenWhenTheSocketTakesItInPieces)
{
    const char* reason = "";
    socket().send_plan = {10, -WSAEWOULDBLOCK};
    EXPECT_EQ(transport().handshake(session, &reason), HandshakeStep::pending);
    EXPECT_TRUE(transport().wants_write(session));
    EXPECT_EQ(transport().handshake(session, &reason), HandshakeStep::done);
    EXPECT_FALSE(transport().wants_write(session));
    EXPECT_EQ(socket().sent, ANSWER);
}

TEST_F(WebSocketTransport, MessagesBytesAreReadAsTheyComeAndPingsAnsweredAsActivity)
{
    const char* reason = "";
    ASSERT_EQ(transport().handshake(session, &reason), HandshakeStep::done);
    socket().sent.clear();
    const std::string frames = make_frame("say a \"b\" one") + make_frame("say a \"b\" two");
    socket().incoming = client_message(WsOpcode::text, "alice\r\n") + client_message(WsOpcode::ping, "p1") +
                        client_message(WsOpcode::binary, frames);
    fake.now_ms = 5000;
    // Four bytes of room a call: the reader carries what a read brings past it.
    EXPECT_EQ(read_all(4), "alice\r\n" + frames);
    EXPECT_EQ(sock_last_error(), WSAEWOULDBLOCK) << "nothing more now, not a failure";
    EXPECT_EQ(socket().sent, ws_server_frame(WsOpcode::pong, "p1"));
    EXPECT_EQ(session.input.last_ms, 5000);

    socket().incoming = client_message(WsOpcode::ping, "p2");
    fake.now_ms = 9000;
    EXPECT_EQ(read_all(), "");
    EXPECT_EQ(session.input.last_ms, 9000) << "a ping alone keeps the session alive";
}

// A client that sends only control frames, or empty ones, as fast as the
// socket takes them must not keep one read going while the switch waits.
TEST_F(WebSocketTransport, AReadOfFramesWithoutPayloadStopsBeforeTheSocketIsDrained)
{
    std::string pings;
    for (int i = 0; i < 1000; i++)
        pings += client_message(WsOpcode::ping, std::string(100, 'p'));
    socket().incoming = pings;
    char buffer[9945];
    EXPECT_EQ(transport().recv(session, buffer, sizeof buffer), -1);
    EXPECT_EQ(sock_last_error(), WSAEWOULDBLOCK) << "nothing now, not a failure";
    EXPECT_FALSE(socket().incoming.empty()) << "the rest waits in the socket for the next turn";
    for (int turn = 0; turn < 100 && !socket().incoming.empty(); turn++)
        EXPECT_EQ(transport().recv(session, buffer, sizeof buffer), -1);
    EXPECT_TRUE(socket().incoming.empty());
    EXPECT_TRUE(socket().sent.ends_with(ws_server_frame(WsOpcode::pong, std::string(100, 'p'))));
}

TEST_F(WebSocketTransport, TheClientsCloseIsAnsweredAndEndsTheStream)
{
    socket().incoming = client_message(WsOpcode::binary, "last") +
                        client_message(WsOpcode::close, ws_close_payload(1001, "bye"));
    char buffer[64];
    EXPECT_EQ(transport().recv(session, buffer, sizeof buffer), 4) << "the bytes before the close first";
    EXPECT_EQ(transport().recv(session, buffer, sizeof buffer), 0);
    EXPECT_TRUE(socket().sent.ends_with(ws_server_frame(WsOpcode::close, ws_close_payload(1001, ""))));
}

TEST_F(WebSocketTransport, AProtocolFaultIsClosedWithItsCodeAndNamedForTheLog)
{
    socket().incoming = client_message(WsOpcode::binary, "fine") + ws_server_frame(WsOpcode::binary, "unmasked");
    char buffer[64];
    EXPECT_EQ(transport().recv(session, buffer, sizeof buffer), 4);
    EXPECT_EQ(transport().recv(session, buffer, sizeof buffer), -1);
    EXPECT_STREQ(transport().failure(session), "websocket 1002: an unmasked frame");
    EXPECT_TRUE(socket().sent.ends_with(ws_server_frame(WsOpcode::close, ws_close_payload(1002, ""))));
}

TEST_F(WebSocketTransport, EachPromptAndEachWholeFrameIsOneBinaryMessage)
{
    const char* reason = "";
    ASSERT_EQ(transport().handshake(session, &reason), HandshakeStep::done);
    socket().sent.clear();
    EXPECT_EQ(transport().send(session, "login:", 6), 6);
    const std::string one = make_frame("say a \"b\" one"), two = make_frame(std::string(300, 'x'));
    const std::string queued = one + two + two.substr(0, 10); // a chunk may cut the last frame
    EXPECT_EQ(transport().send(session, queued.data(), static_cast<int>(queued.size())),
              static_cast<int>(one.size() + two.size()));
    EXPECT_EQ(socket().sent, ws_server_frame(WsOpcode::binary, "login:") + ws_server_frame(WsOpcode::binary, one) +
                                 ws_server_frame(WsOpcode::binary, two));
}

TEST_F(WebSocketTransport, AMessageTheSocketTookPartOfIsFinishedBeforeAnythingElse)
{
    const char* reason = "";
    ASSERT_EQ(transport().handshake(session, &reason), HandshakeStep::done);
    socket().sent.clear();
    const std::string one = make_frame("say a \"b\" one"), two = make_frame("say a \"b\" two");
    const std::string both = one + two;
    socket().send_plan = {5, -WSAEWOULDBLOCK};
    EXPECT_EQ(transport().send(session, both.data(), static_cast<int>(both.size())), static_cast<int>(one.size()))
        << "the first frame is taken: its rest waits in the transport";
    EXPECT_TRUE(transport().wants_write(session));
    EXPECT_EQ(transport().send(session, two.data(), static_cast<int>(two.size())), -1);
    EXPECT_EQ(sock_last_error(), WSAEWOULDBLOCK);
    EXPECT_EQ(transport().send(session, two.data(), static_cast<int>(two.size())), static_cast<int>(two.size()));
    EXPECT_EQ(socket().sent, ws_server_frame(WsOpcode::binary, one) + ws_server_frame(WsOpcode::binary, two));
}

// A client that pings while the socket is full still gets its pong: of the
// pings it sent meanwhile, the last one is answered once the rest has gone.
TEST_F(WebSocketTransport, APingWhileAMessageWaitsForTheSocketIsAnsweredAfterIt)
{
    const char* reason = "";
    ASSERT_EQ(transport().handshake(session, &reason), HandshakeStep::done);
    socket().sent.clear();
    const std::string frame = make_frame("say a \"b\" one");
    socket().send_room = 5;
    ASSERT_EQ(transport().send(session, frame.data(), static_cast<int>(frame.size())),
              static_cast<int>(frame.size()));
    socket().incoming = client_message(WsOpcode::ping, "p1") + client_message(WsOpcode::ping, "p2");
    EXPECT_EQ(read_all(), "");
    EXPECT_TRUE(transport().wants_write(session));
    socket().send_room = SIZE_MAX;
    EXPECT_EQ(read_all(), "");
    EXPECT_EQ(socket().sent, ws_server_frame(WsOpcode::binary, frame) + ws_server_frame(WsOpcode::pong, "p2"));
}

TEST_F(WebSocketTransport, AServerSideCloseSendsTheCloseFrame)
{
    transport().release(session);
    EXPECT_EQ(socket().sent, std::string(ANSWER) + ws_server_frame(WsOpcode::close, ws_close_payload(1000, "")))
        << "the answer still owed, then the close";
}

} // namespace
