#include "protocol/frame.h"
#include "switch/input_pass.h"
#include "switch/route.h"
#include "switch/server.h"
#include "switch/turn.h"
#include "tests/support/server_fixture.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using ServerTest = ServerFixture;

// Frames to all, numbered, each padded with `padding` bytes, until the
// stream holds at least `bytes`. Appended piece by piece: GCC 12 at -O3
// warns falsely (-Wrestrict) on a chain of string additions.
std::string numbered_frames(std::size_t bytes, std::size_t padding)
{
    std::string frames;
    for (int i = 0; frames.size() < bytes; i++) {
        std::string payload = "f";
        payload += std::to_string(i);
        payload += " s \"\" ";
        payload.append(padding, 'x');
        frames += make_frame(payload);
    }
    return frames;
}

// A closed session is logged and out of every list at once, and freed
// with its socket at the end of the turn; the others keep their order.
TEST_F(ServerTest, ClosingKeepsTheOthersInOrderAndFreesAtTheEndOfTheTurn)
{
    Session* a = add_session();
    Session* b = add_session();
    Session* c = add_session();
    Session* d = add_session();
    socket_handle first = a->transport.socket;

    close_session(server, *a, nullptr);
    close_session(server, *c, nullptr);
    close_session(server, *d, nullptr);
    EXPECT_EQ(sessions(), std::vector<Session*>{b});
    EXPECT_FALSE(net.socket(first).closed) << "until the end of the turn";
    EXPECT_NE(log().find("logged out: [127.0.0.100]"), std::string::npos) << "logged when closed";
    serve_one_turn(server);
    EXPECT_TRUE(net.socket(first).closed);
    EXPECT_EQ(net.closed_order, (std::vector<socket_handle>{first, first + 2, first + 3}));
    close_session(server, *b, nullptr);
    free_closed_sessions(server);
    EXPECT_TRUE(sessions().empty());
    EXPECT_EQ(add_session(), server.sessions.first) << "an emptied list takes new sessions";
}

TEST_F(ServerTest, CloseLogsAndFreesEverythingTheSessionOwns)
{
    Session* s = add_session();
    give_input(s, "in");
    ASSERT_TRUE(queue_append(s->output.queue, "out"));
    announce_address(server.registry, *s, "one", net.now);
    announce_address(server.registry, *s, "two", net.now);
    std::strcpy(s->peer_name, "host [10.0.0.1]");

    close_session(server, *s, nullptr);
    EXPECT_NE(log().find("logged out: host [10.0.0.1]\n"), std::string::npos) << log();
    // The fixture's tear-down checks that no block is left behind.
}

TEST_F(ServerTest, ReasonGoesInsideTheParenthesesLineBreakAndAll)
{
    Session* s = add_session();
    std::strcpy(s->peer_name, "[127.0.0.9]");
    close_session(server, *s, "RX buffer overflow!\n");
    EXPECT_NE(log().find(" disconnected (RX buffer overflow!\n): [127.0.0.9]\n"), std::string::npos)
        << log();
}

TEST_F(ServerTest, CredentialsAreCutTo255)
{
    set_credentials(server, std::string(300, 'l').c_str(), "");
    EXPECT_EQ(std::string(server.login), std::string(255, 'l'));
    EXPECT_EQ(std::string(server.password), "");
}

// Nothing is shared between servers: each has its own sessions, credentials
// and log, and a pass over one leaves the other alone.
TEST_F(ServerTest, TwoServersLiveSideBySide)
{
    Server other;
    other.log.path = "other.log.txt";
    set_credentials(other, "bob", "pw");
    Session* mine = add_session(SessionState::awaiting_password);
    Session* theirs = net.link_session(other, SessionState::awaiting_password);
    std::strcpy(mine->dialogue.login_name, "bob");
    std::strcpy(theirs->dialogue.login_name, "bob");
    give_input(mine, "pw\n");
    ASSERT_TRUE(queue_append(theirs->input.queue, "pw\n"));
    push_back(other.work.input, *theirs);

    input_pass(other);
    EXPECT_EQ(theirs->state, SessionState::online);
    EXPECT_EQ(mine->input.queue.length, 3u) << "not served by the other server";
    input_pass(server);
    EXPECT_TRUE(sessions().empty()) << "bob is refused here";
    EXPECT_EQ(log().find("logged in"), std::string::npos);
    drop_all_sessions(other);
    log_close(other.log);
    EXPECT_NE(dir.read("other.log.txt").find("logged in: "), std::string::npos);
}

// Frames that wait from several senders are relayed in one turn, but in the
// round robin's order: one frame of each sender in turn.
TEST_F(ServerTest, ATurnRelaysWhatWaitsInRoundRobinOrderWithOneSendPerReceiver)
{
    Session* a = add_session();
    Session* b = add_session();
    Session* receiver = add_session();
    const char* texts_of_a[] = {"a0 a \"\"", "a1 a \"\"", "a2 a \"\""};
    const char* texts_of_b[] = {"b0 b \"\"", "b1 b \"\"", "b2 b \"\""};
    std::string expected;
    for (int i = 0; i < 3; i++) {
        std::string from_a = make_frame(texts_of_a[i]);
        std::string from_b = make_frame(texts_of_b[i]);
        peer(a).incoming += from_a;
        peer(b).incoming += from_b;
        expected += from_a;
        expected += from_b;
    }
    serve_one_turn(server);
    EXPECT_EQ(peer(receiver).sent, expected);
    EXPECT_EQ(peer(receiver).send_calls, 1);
    EXPECT_EQ(a->input.queue.length + b->input.queue.length, 0u);
}

// A sender whose reads fill their buffer is flooding: its frames reach the
// receiver whole and in order, in fewer sends than reads; a read that does
// not fill the buffer has its frames sent in the same turn.
TEST_F(ServerTest, AFloodIsSentInFewerLargerSendsAndAQuietReadAtOnce)
{
    Session* sender = add_session();
    Session* receiver = add_session();
    const std::string flood = numbered_frames(8 * RX_LIMIT, 50);
    peer(sender).incoming = flood;
    int turns = 0;
    while (peer(receiver).sent.size() < flood.size() && turns < 100) {
        serve_one_turn(server);
        turns++;
    }
    EXPECT_EQ(peer(receiver).sent, flood);
    EXPECT_LE(peer(receiver).send_calls, turns / 2) << "in " << turns << " turns";

    const std::string quiet = make_frame("q s \"\"");
    peer(sender).incoming = quiet;
    serve_one_turn(server);
    EXPECT_EQ(peer(receiver).sent, flood + quiet);
}

// A console pipe that takes 16 KiB at a time (more than a turn logs), read
// empty between turns.
std::string console_taken;
long pipe_console(const ConsoleOutput&, std::string_view bytes)
{
    const std::size_t taken = std::min<std::size_t>(bytes.size(), 16384);
    console_taken.append(bytes.substr(0, taken));
    return static_cast<long>(taken);
}

// A flood's log lines wait for a larger write to the file, but never past
// the turn that reads nothing more, nor past the time bound; a console that
// keeps up with each turn still gets every line.
TEST_F(ServerTest, AFloodsLogLinesWaitForALargerWriteButNotPastAPauseOrTheTimeBound)
{
    server.log.echo_to_stdout = true;
    server.log.write_console = pipe_console;
    console_taken.clear();
    Session* sender = add_session();
    add_session();
    auto lines_written = [&] {
        const std::string written = dir.read(server.log.path);
        return std::count(written.begin(), written.end(), '\n');
    };
    const std::string flood = numbered_frames(3 * RX_LIMIT, 50);
    peer(sender).incoming = flood;
    serve_one_turn(server);
    EXPECT_EQ(lines_written(), 0) << "held while the sender floods";
    while (!peer(sender).incoming.empty())
        serve_one_turn(server);
    serve_one_turn(server);
    EXPECT_EQ(lines_written(), static_cast<long>((flood.size() + RECEIVE_SIZE - 1) / RECEIVE_SIZE))
        << "every block's line, once the flood pauses";
    EXPECT_EQ(console_taken, dir.read(server.log.path)) << "the console got each line once";

    peer(sender).incoming = flood;
    serve_one_turn(server);
    const long before = lines_written();
    net.now_ms += FLOOD_LOG_HELD_MS_MAX;
    serve_one_turn(server);
    EXPECT_GT(lines_written(), before) << "written when the time bound is reached";
}

// A turn takes everything whole that its read took, even in the shortest
// frames that are relayed: two fields, a blank, and the check byte as the
// third.
TEST_F(ServerTest, ATurnTakesAReadOfTheShortestFramesWhole)
{
    Session* sender = add_session();
    add_session();
    std::string shortest;
    while (shortest.size() + 5 <= RX_LIMIT)
        shortest += make_frame("a b ");
    peer(sender).incoming = shortest;
    serve_one_turn(server);
    EXPECT_EQ(sender->input.queue.length, 0u);
}

// Frames relayed in a turn whose sends waited for a flood still reach a
// receiver whose end of stream the next turn reads.
TEST_F(ServerTest, AReceiverClosedWhileAFloodHeldItsOutputStillGetsIt)
{
    Session* sender = add_session();
    Session* receiver = add_session();
    const std::string flood = numbered_frames(3 * RX_LIMIT, 40);
    peer(sender).incoming = flood;
    serve_one_turn(server);
    const std::size_t relayed = receiver->output.queue.length;
    ASSERT_GT(relayed, 0u) << "held for the flood";
    FakeSocket& receiver_peer = peer(receiver); // outlives the session
    receiver_peer.peer_closed = true;
    serve_one_turn(server);
    EXPECT_EQ(receiver_peer.sent, flood.substr(0, relayed));
}


// Many senders' whole reads in one turn stop filling a receiver's queue at
// a quarter of its limit; the rest follows in the next turns, in order.
TEST_F(ServerTest, ATurnStopsRelayingOnceAReceiverHoldsAQuarterOfItsLimit)
{
    std::vector<std::string> sent_by(40);
    for (std::size_t k = 0; k < sent_by.size(); k++) {
        Session* sender = add_session();
        for (int i = 0; sent_by[k].size() + 64 <= RX_LIMIT; i++) {
            std::string payload = std::to_string(k) + " s \"\" ";
            payload.append(50 - payload.size(), 'x');
            sent_by[k] += make_frame(payload);
        }
        peer(sender).incoming = sent_by[k];
    }
    Session* receiver = add_session();
    serve_one_turn(server);
    EXPECT_LT(peer(receiver).sent.size() + receiver->output.queue.length, OUTPUT_QUEUE_LIMIT / 4 + sent_by.size() * 64);
    for (int turn = 0; turn < 40; turn++)
        serve_one_turn(server);
    std::size_t total = 0;
    for (const std::string& s : sent_by)
        total += s.size();
    EXPECT_EQ(peer(receiver).sent.size(), total);
    EXPECT_EQ(receiver->state, SessionState::online);
}

} // namespace
