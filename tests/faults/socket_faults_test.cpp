// The wait step against failing sockets: a failed or reset receive, a failed
// accept and a failed select. Each must touch only what failed.
#include "net/switch_wait.h"
#include "relay/relay.h"
#include "tests/support/server_fixture.h"
#include "tests/support/test_client.h"

#include <string>

namespace {

using SocketFaults = ServerFixture;

// Any receive error closes, the one that only says "nothing yet" included,
// and names the code; the sessions around it are read as usual.
TEST_F(SocketFaults, EveryFailedReceiveClosesThatSessionAloneWithItsCode)
{
    for (int code : {WSAEWOULDBLOCK, WSAECONNRESET, WSAECONNABORTED, WSAENETDOWN, WSAETIMEDOUT,
                     WSAENOTSOCK, WSAEINTR}) {
        SCOPED_TRACE(code);
        Session* before = add_session(ST_LOGIN);
        Session* failing = add_session(ST_LOGIN);
        Session* after = add_session(ST_LOGIN);
        peer(before).incoming.append("a");
        peer(failing).recv_error = code;
        peer(after).incoming.append("b");
        socket_handle failing_socket = failing->client_socket;
        SWITCH_wait();
        ASSERT_EQ(sessions(), (std::vector<Session*>{before, after}));
        EXPECT_TRUE(net.socket(failing_socket).closed);
        EXPECT_NE(log().find("disconnected (error " + std::to_string(code) + " on recv)"),
                  std::string::npos);
        EXPECT_EQ(std::string(before->input.block, before->input.length), "a");
        EXPECT_EQ(std::string(after->input.block, after->input.length), "b");
        close_session(before->client_socket, nullptr);
        close_session(after->client_socket, nullptr);
    }
}

// A peer that resets while the server has frames queued for it: the receive
// reports the reset, the session goes with its queued output, and the
// relay's other receivers do not notice.
TEST_F(SocketFaults, AResetPeerWithQueuedOutputGoesWithoutTouchingOthers)
{
    Session* sender = add_session();
    Session* resetting = add_session();
    Session* other = add_session();
    std::string frame = make_frame("x s \"\" hello");
    send_to_all(sender->client_socket, (frame + '\0').c_str(), frame.size() + 1, "");
    peer(resetting).recv_error = WSAECONNRESET;
    peer(other).incoming = "more";
    SWITCH_wait();
    ASSERT_EQ(sessions(), (std::vector<Session*>{sender, other}));
    EXPECT_NE(log().find("disconnected (error 10054 on recv)"), std::string::npos);
    EXPECT_EQ(other->output.length, frame.size() + 1);
}

TEST_F(SocketFaults, AFailedAcceptKeepsNoSessionAndTheNextTurnAccepts)
{
    Session* existing = add_session(ST_LOGIN);
    peer(existing).incoming = "alice\n";
    socket_handle waiting = net.queue_connection();
    for (int code : {WSAEMFILE, WSAENOBUFS, WSAECONNABORTED}) {
        net.accept_error = code;
        SWITCH_wait();
        ASSERT_EQ(sessions(), std::vector<Session*>{existing}) << code;
    }
    EXPECT_EQ(std::string(existing->input.block, existing->input.length), "alice\n")
        << "the sessions are read in the turn whose accept failed";
    EXPECT_EQ(log().find("Connected to"), std::string::npos);

    net.accept_error = 0;
    SWITCH_wait();
    ASSERT_EQ(sessions().size(), 2u);
    EXPECT_EQ(sessions()[1]->client_socket, waiting);
    EXPECT_EQ(net.socket(waiting).sent, "login:");
}

// After a failed select the sets mean nothing: no accept (it would block),
// no read, no close. The next turn serves everyone.
TEST_F(SocketFaults, AFailedSelectIsLoggedAndTouchesNothingUntilTheNextTurn)
{
    Session* reading = add_session(ST_LOGIN);
    Session* excepted = add_session(ST_LOGIN);
    peer(reading).incoming = "alice\n";
    peer(excepted).exception = true;
    net.queue_connection();
    net.select_fails = true;
    for (int turn = 0; turn < 3; turn++)
        SWITCH_wait();
    EXPECT_EQ(sessions(), (std::vector<Session*>{reading, excepted}));
    EXPECT_EQ(reading->input.length, 0u);
    EXPECT_EQ(net.pending_accepts.size(), 1u);
    const std::string line = "SOCKET ERROR in SWITCH_wait: select\n\n";
    std::string text = log();
    int lines = 0;
    for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        lines++;
    EXPECT_EQ(lines, 3);

    net.select_fails = false;
    SWITCH_wait();
    ASSERT_EQ(sessions().size(), 2u) << "the excepted session closed, the pending one accepted";
    EXPECT_EQ(std::string(reading->input.block, reading->input.length), "alice\n");
    EXPECT_NE(log().find("srv: socket exception"), std::string::npos);
}

} // namespace
