// The wait pass against failing sockets: a failed or reset receive, a failed
// accept and a failed select. Each must touch only what failed.
#include "switch/input_pass.h"
#include "switch/route.h"
#include "switch/wait.h"
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
        Session* before = add_session(SessionState::awaiting_login);
        Session* failing = add_session(SessionState::awaiting_login);
        Session* after = add_session(SessionState::awaiting_login);
        peer(before).incoming.append("a");
        peer(failing).recv_error = code;
        peer(after).incoming.append("b");
        socket_handle failing_socket = failing->transport.socket;
        wait_pass(server);
        ASSERT_EQ(sessions(), (std::vector<Session*>{before, after}));
        free_closed_sessions(server);
        EXPECT_TRUE(net.socket(failing_socket).closed);
        EXPECT_NE(log().find("disconnected (error " + std::to_string(code) + " on recv)"),
                  std::string::npos);
        EXPECT_EQ(std::string(queue_bytes(before->input.queue)), "a");
        EXPECT_EQ(std::string(queue_bytes(after->input.queue)), "b");
        close_session(server, *before, nullptr);
        close_session(server, *after, nullptr);
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
    send_to_all(server, *sender, frame, "");
    peer(resetting).recv_error = WSAECONNRESET;
    peer(other).incoming = "more";
    wait_pass(server);
    ASSERT_EQ(sessions(), (std::vector<Session*>{sender, other}));
    EXPECT_NE(log().find("disconnected (error 10054 on recv)"), std::string::npos);
    EXPECT_EQ(other->output.queue.length, frame.size());
}

TEST_F(SocketFaults, AFailedAcceptKeepsNoSessionAndTheNextTurnAccepts)
{
    Session* existing = add_session(SessionState::awaiting_login);
    peer(existing).incoming = "alice\n";
    socket_handle waiting = net.queue_connection();
    for (int code : {WSAENOBUFS, WSAECONNABORTED}) {
        net.accept_error = code;
        wait_pass(server);
        ASSERT_EQ(sessions(), std::vector<Session*>{existing}) << code;
    }
    EXPECT_EQ(std::string(queue_bytes(existing->input.queue)), "alice\n")
        << "the sessions are read in the turn whose accept failed";
    EXPECT_EQ(log().find("Connected to"), std::string::npos);

    net.accept_error = 0;
    wait_pass(server);
    ASSERT_EQ(sessions().size(), 2u);
    EXPECT_EQ(sessions()[1]->transport.socket, waiting);
    EXPECT_EQ(net.socket(waiting).sent, "login:");
}

// Out of descriptors, accept fails at once and the listener stays readable:
// the listener rests 100 ms at a time, the clients already here are served,
// and the log says so once until an accept succeeds.
TEST_F(SocketFaults, OutOfDescriptorsRestsTheListenerAndSaysSoOnce)
{
    Session* existing = add_session(SessionState::awaiting_login);
    socket_handle waiting = net.queue_connection();
    net.accept_error = WSAEMFILE;
    wait_pass(server);
    peer(existing).incoming = "alice\n";
    wait_pass(server);
    EXPECT_EQ(net.last_except_offer, std::vector<socket_handle>{existing->transport.socket})
        << "the listener rests";
    EXPECT_EQ(std::string(queue_bytes(existing->input.queue)), "alice\n");

    net.now_ms += ACCEPT_PAUSE_MS;
    wait_pass(server);
    net.now_ms += ACCEPT_PAUSE_MS;
    net.accept_error = 0;
    wait_pass(server);
    ASSERT_EQ(sessions().size(), 2u);
    EXPECT_EQ(net.socket(waiting).sent, "login:");
    std::string text = log();
    EXPECT_EQ(text.find("out of descriptors"), text.rfind("out of descriptors")) << text;
    EXPECT_NE(text.find("srv: out of descriptors: accepts paused\n"), std::string::npos);
}

// A peer whose name resolves slowly is neither prompted nor read until the
// name or the deadline comes; the others are served all the while.
TEST_F(SocketFaults, ASlowReverseLookUpHoldsUpOnlyItsOwnClient)
{
    Session* existing = add_session(SessionState::awaiting_login);
    net.lookups_hang = true;
    socket_handle slow = net.queue_connection();
    wait_pass(server);
    ASSERT_EQ(sessions().size(), 2u);
    EXPECT_EQ(net.socket(slow).sent, "") << "not prompted before it has a name";
    net.socket(slow).incoming = "alice\n";
    peer(existing).incoming = "alice\n";
    wait_pass(server);
    EXPECT_EQ(std::string(queue_bytes(existing->input.queue)), "alice\n");
    EXPECT_EQ(sessions()[1]->input.queue.length, 0u) << "not read before it has a name";
    EXPECT_EQ(log().find("Connected to"), std::string::npos);

    net.now_ms += NAMING_DEADLINE_MS;
    wait_pass(server);
    EXPECT_EQ(net.socket(slow).sent, "login:");
    EXPECT_NE(log().find("Connected to: [127.0.0."), std::string::npos);
    wait_pass(server);
    EXPECT_EQ(std::string(queue_bytes(sessions()[1]->input.queue)), "alice\n");
}

// Watched for nothing while it is being named, a reset socket is still
// reported by every wait: it is taken at once, by its address, never left
// to spin the loop until the name comes.
TEST_F(SocketFaults, AResetDuringTheLookUpIsTakenAtOnce)
{
    net.lookups_hang = true;
    socket_handle reset = net.queue_connection();
    wait_pass(server);
    ASSERT_EQ(sessions().size(), 1u);
    net.socket(reset).hung_up = true;
    net.socket(reset).recv_error = WSAECONNRESET;
    wait_pass(server);
    EXPECT_TRUE(sessions().empty());
    EXPECT_TRUE(net.hanging_lookups.empty()) << "nobody waits for its name";
    EXPECT_NE(log().find("Connected to: [127.0.0."), std::string::npos) << log();
    EXPECT_NE(log().find("disconnected (error 10054 on recv): [127.0.0."), std::string::npos);
}

// A prompt the socket refuses closes its session with the send's error;
// the others carry on.
TEST_F(SocketFaults, ARefusedPromptClosesItsSessionWithItsReason)
{
    socket_handle refused = net.queue_connection();
    net.socket(refused).send_plan = {-WSAECONNRESET};
    wait_pass(server);
    EXPECT_TRUE(sessions().empty());
    EXPECT_NE(log().find("disconnected (error 10054 on send): [127.0.0."), std::string::npos)
        << log();

    Session* other = add_session(SessionState::awaiting_login);
    Session* login = add_session(SessionState::awaiting_login);
    peer(login).incoming = "alice\n";
    peer(login).send_plan = {3};
    wait_pass(server);
    input_pass(server);
    EXPECT_EQ(sessions(), std::vector<Session*>{other});
    EXPECT_NE(log().find("disconnected (error 10035 on send)"), std::string::npos) << log();
}

// After a failed select the sets mean nothing: no accept (it would block),
// no read, no close. The next turn serves everyone.
TEST_F(SocketFaults, AFailedSelectIsLoggedAndTouchesNothingUntilTheNextTurn)
{
    Session* reading = add_session(SessionState::awaiting_login);
    Session* excepted = add_session(SessionState::awaiting_login);
    peer(reading).incoming = "alice\n";
    peer(excepted).exception = true;
    net.queue_connection();
    net.wait_fails = true;
    for (int turn = 0; turn < 3; turn++)
        wait_pass(server);
    EXPECT_EQ(sessions(), (std::vector<Session*>{reading, excepted}));
    EXPECT_EQ(reading->input.queue.length, 0u);
    EXPECT_EQ(net.pending_accepts.size(), 1u);
    const std::string line = "SOCKET ERROR in SWITCH_wait: select\n\n";
    std::string text = log();
    int lines = 0;
    for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        lines++;
    EXPECT_EQ(lines, 3);

    net.wait_fails = false;
    wait_pass(server);
    ASSERT_EQ(sessions().size(), 2u) << "the excepted session closed, the pending one accepted";
    EXPECT_EQ(std::string(queue_bytes(reading->input.queue)), "alice\n");
    EXPECT_NE(log().find("srv: socket exception"), std::string::npos);
}

} // namespace
