#include "switch/output_pass.h"

#include "switch/server.h"
#include "switch/turn.h"
#include "protocol/frame.h"
#include "tests/support/server_fixture.h"

#include <string>
#include <vector>

namespace {

struct OutputPassTest : ServerFixture {
    // Queues frames as the relay does: back to back.
    void queue_frames(Session* s, std::initializer_list<std::string> frames)
    {
        for (const std::string& f : frames)
            ASSERT_TRUE(queue_append(s->output.queue, f));
        output_queued(server, *s);
    }
    static std::string frame(const std::string& payload) { return make_frame(payload); }
};

TEST_F(OutputPassTest, QueuedFramesGoOutBackToBackInOneSend)
{
    Session* s = add_session();
    std::string longest = frame(std::string(4094, 'L'));
    queue_frames(s, {frame("first"), longest, frame("last")});
    output_pass(server);
    EXPECT_EQ(peer(s).sent, frame("first") + longest + frame("last"));
    EXPECT_EQ(peer(s).send_calls, 1);
    EXPECT_EQ(s->output.queue.length, 0u);
}

// Every split of a two-frame queue into partial sends delivers each byte
// once, in order: what the socket did not take goes when it has room.
TEST_F(OutputPassTest, PartialSendsOfEverySizeLoseNothing)
{
    std::string first = frame("x a \"\" " + std::string(40, '1'));
    std::string second = frame("x a \"\" " + std::string(30, '2'));
    for (int step = 1; step <= static_cast<int>(first.size()) + 1; step++) {
        Session* s = add_session();
        queue_frames(s, {first, second});
        for (int turn = 0; turn < 1000 && s->output.queue.length > 0; turn++) {
            peer(s).send_plan = {step};
            serve_one_turn(server);
        }
        EXPECT_EQ(peer(s).sent, first + second) << "step " << step;
        close_session(server, *s, nullptr);
    }
}

TEST_F(OutputPassTest, SessionThatNeverHadOutputIsNotTouched)
{
    Session* s = add_session();
    output_pass(server);
    EXPECT_EQ(peer(s).send_calls, 0);
}

// A socket that takes nothing is not offered its output again until it
// has room; taking nothing for SEND_STALL_LIMIT_MS closes it at the next
// refusal, and any byte it takes starts the count afresh.
TEST_F(OutputPassTest, ASocketThatTakesNothingForTheLimitIsClosed)
{
    Session* s = add_session();
    queue_frames(s, {frame("stuck"), frame("more")});
    peer(s).send_room = 0;
    serve_one_turn(server);
    EXPECT_EQ(peer(s).send_calls, 1);
    EXPECT_TRUE(peer(s).write_wanted) << "waits for room";
    net.now_ms += SEND_STALL_LIMIT_MS - 1;
    serve_one_turn(server);
    EXPECT_EQ(peer(s).send_calls, 1) << "not offered again while it has no room";
    EXPECT_EQ(net.last_timeout_us, 1000) << "the wait wakes at the limit";

    peer(s).send_room = 3;
    serve_one_turn(server);
    EXPECT_EQ(peer(s).sent, frame("stuck").substr(0, 3));
    net.now_ms += SEND_STALL_LIMIT_MS - 1;
    serve_one_turn(server);
    ASSERT_EQ(sessions().size(), 1u) << "a byte taken starts the count afresh";

    FakeSocket& socket = peer(s);
    net.now_ms += 1;
    serve_one_turn(server);
    EXPECT_EQ(socket.send_calls, 3) << "one more send at the limit";
    EXPECT_TRUE(sessions().empty());
    EXPECT_TRUE(socket.closed);
    EXPECT_NE(log().find("logged out: [127.0.0.100]"), std::string::npos);
}

TEST_F(OutputPassTest, AnyOtherErrorClosesAtOnceAndTheNextSessionIsServed)
{
    Session* reset = add_session();
    Session* after = add_session();
    Session* last = add_session();
    queue_frames(reset, {frame("lost")});
    queue_frames(after, {frame("kept")});
    queue_frames(last, {frame("bye")});
    peer(reset).send_plan = {-WSAECONNRESET};
    peer(last).send_plan = {-WSAECONNABORTED};

    output_pass(server);
    EXPECT_EQ(sessions(), std::vector<Session*>{after});
    EXPECT_EQ(net.socket(after->transport.socket).sent, frame("kept"));
}

TEST_F(OutputPassTest, BrokenSessionsStillGetWhatWasQueuedBefore)
{
    Session* s = add_session(SessionState::broken);
    queue_frames(s, {frame("owed")});
    output_pass(server);
    EXPECT_EQ(peer(s).sent, frame("owed"));
}

// Short output through a gathering transport (TLS) is held for a while
// after a pass that sent it to many receivers, then goes for all at once;
// a full record, or a pass with few receivers, is never held.
TEST_F(OutputPassTest, ABroadcastThroughAGatheringTransportIsSentInGatheredRecords)
{
    // Outlives the sessions, which the fixture closes after the test.
    static const Transport gathering = [] {
        Transport t = plain_transport();
        t.gathers_output = true;
        return t;
    }();
    std::vector<Session*> receivers;
    for (std::size_t i = 0; i < GATHER_RECEIVERS; i++) {
        receivers.push_back(add_session());
        receivers.back()->transport.layer = &gathering;
        queue_frames(receivers.back(), {frame("one")});
    }
    Session* full = add_session();
    full->transport.layer = &gathering;
    output_pass(server);
    for (Session* s : receivers)
        ASSERT_EQ(peer(s).send_calls, 1) << "nothing is held before a broadcast is seen";

    for (Session* s : receivers)
        queue_frames(s, {frame("two")});
    queue_frames(full, {std::string(GATHER_BYTES, 'F')});
    output_pass(server);
    net.now_ms += GATHER_MS - 1;
    output_pass(server);
    for (Session* s : receivers)
        EXPECT_EQ(peer(s).send_calls, 1) << "held while gathering";
    EXPECT_EQ(peer(full).send_calls, 1) << "a full record is never held";

    queue_frames(receivers[0], {frame("three")});
    net.now_ms += 1;
    output_pass(server);
    for (Session* s : receivers)
        EXPECT_EQ(peer(s).send_calls, 2);
    EXPECT_EQ(peer(receivers[0]).sent, frame("one") + frame("two") + frame("three"));

    // One receiver short of a broadcast: once the gathering that the last
    // broadcast started ends, short output goes at once.
    close_session(server, *receivers.back(), nullptr);
    receivers.pop_back();
    net.now_ms += GATHER_MS;
    output_pass(server);
    for (Session* s : receivers)
        queue_frames(s, {frame("four")});
    net.now_ms += GATHER_MS;
    output_pass(server);
    for (Session* s : receivers)
        queue_frames(s, {frame("five")});
    output_pass(server);
    for (Session* s : receivers)
        EXPECT_EQ(peer(s).send_calls, 4);
}

} // namespace
