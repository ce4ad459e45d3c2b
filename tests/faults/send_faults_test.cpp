// The output pass against every way a send can go short or fail: each
// partial size, runs of tolerated failures just under and at the limit, and
// a reset connection. No byte may be lost, repeated or reordered, and a
// closed receiver must not cost the one after it its turn.
#include "switch/output_pass.h"
#include "switch/input_pass.h"
#include "tests/support/server_fixture.h"
#include "tests/support/test_client.h"

#include <string>

namespace {

struct SendFaults : ServerFixture {
    // Two frames queued for the receiver as the relay queues them.
    void queue_two_frames(Session* receiver)
    {
        first = make_frame("x a \"\" " + std::string(290, 'p'));
        second = make_frame("x a \"\" " + std::string(4087, 'q'));
        ASSERT_EQ(second.size(), 4095u) << "the longest frame there is";
        ASSERT_EQ(queue_append(receiver->output, first), true);
        ASSERT_EQ(queue_append(receiver->output, second), true);
    }

    std::string first;
    std::string second;
};

// One send a pass, each taking size bytes: the next pass resumes where the
// last one stopped, across the frame boundary too.
TEST_F(SendFaults, EveryPartialSizeOnePieceAPassResumesWhereItStopped)
{
    Session* receiver = add_session();
    queue_two_frames(receiver);
    const std::string expected = first + second;
    for (int size = 1; size <= static_cast<int>(expected.size()) + 1; size++) {
        SCOPED_TRACE(size);
        FakeSocket& socket = peer(receiver);
        socket.sent.clear();
        socket.send_plan.assign(expected.size() / size + 1, size);
        int passes = 0;
        while (receiver->output.length > 0 && passes++ < 10000)
            output_pass(server);
        ASSERT_EQ(socket.sent, expected);
        ASSERT_EQ(passes, static_cast<int>((expected.size() + size - 1) / size));
        queue_two_frames(receiver);
    }
}

struct BlockedRun {
    int length;
    int first_code;
    int second_code; // alternates with the first
    bool survives;
};

class BlockedRuns : public SendFaults, public ::testing::WithParamInterface<BlockedRun> {};

// Up to 101 tolerated failures in a row are waited out; the 102nd closes.
// The receiver behind the blocked one is served in every pass throughout.
TEST_P(BlockedRuns, TheReceiverSurvivesOnlyWhileTheRunIsAtMost101)
{
    const BlockedRun run = GetParam();
    Session* blocked = add_session();
    Session* behind = add_session();
    queue_two_frames(blocked);
    socket_handle blocked_socket = blocked->client_socket;
    for (int i = 0; i < run.length; i++)
        net.socket(blocked_socket).send_plan.push_back(-(i % 2 ? run.second_code : run.first_code));

    std::string to_behind;
    for (int pass = 1; pass <= run.length + 1; pass++) {
        std::string frame = make_frame("x b \"\" " + std::to_string(pass));
        ASSERT_EQ(queue_append(behind->output, frame), true);
        to_behind += frame;
        output_pass(server);
        ASSERT_EQ(peer(behind).sent, to_behind) << "pass " << pass;
        bool closed = sessions().size() == 1;
        bool close_due = !run.survives && pass == 102;
        ASSERT_EQ(closed, close_due) << "pass " << pass;
        if (closed)
            break;
        if (pass <= run.length) {
            ASSERT_EQ(net.socket(blocked_socket).sent, "");
        }
    }
    if (run.survives) {
        EXPECT_EQ(net.socket(blocked_socket).sent, first + second);
        EXPECT_EQ(blocked->send_failures, 0);
    } else {
        EXPECT_TRUE(net.socket(blocked_socket).closed);
        EXPECT_NE(log().find("logged out: [127.0.0."), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, BlockedRuns,
    ::testing::Values(BlockedRun{100, WSAEWOULDBLOCK, WSAEWOULDBLOCK, true},
                      BlockedRun{101, WSAEWOULDBLOCK, WSAEWOULDBLOCK, true},
                      BlockedRun{102, WSAEWOULDBLOCK, WSAEWOULDBLOCK, false},
                      BlockedRun{101, WSAENOBUFS, WSAENOBUFS, true},
                      BlockedRun{102, WSAENOBUFS, WSAENOBUFS, false},
                      BlockedRun{101, WSAEWOULDBLOCK, WSAENOBUFS, true},
                      BlockedRun{102, WSAENOBUFS, WSAEWOULDBLOCK, false}),
    [](const ::testing::TestParamInfo<BlockedRun>& info) {
        const BlockedRun& run = info.param;
        return "Run" + std::to_string(run.length) + "Of" + std::to_string(run.first_code) +
               (run.second_code != run.first_code ? "And" + std::to_string(run.second_code) : "");
    });

TEST_F(SendFaults, APartialSendBetweenTwoRunsOf101StartsTheCountAfresh)
{
    Session* receiver = add_session();
    queue_two_frames(receiver);
    FakeSocket& socket = peer(receiver);
    for (int i = 0; i < 101; i++)
        socket.send_plan.push_back(-WSAEWOULDBLOCK);
    socket.send_plan.push_back(1);
    for (int i = 0; i < 101; i++)
        socket.send_plan.push_back(-WSAENOBUFS);
    for (int pass = 0; pass < 204; pass++)
        output_pass(server);
    ASSERT_EQ(sessions().size(), 1u);
    EXPECT_EQ(socket.sent, first + second);
}

// A reset is not tolerated even once, wherever it strikes: before any byte,
// after part of a frame, between the two frames or inside the second.
TEST_F(SendFaults, AResetClosesAtOnceAndTheNextReceiverKeepsItsTurn)
{
    const int first_size = 298;
    for (int before_reset : {0, 1, 100, first_size - 1, first_size, first_size + 1000}) {
        SCOPED_TRACE(before_reset);
        Session* broken = add_session();
        Session* behind = add_session();
        queue_two_frames(broken);
        queue_two_frames(behind);
        ASSERT_EQ(first.size(), static_cast<std::size_t>(first_size));
        socket_handle broken_socket = broken->client_socket;
        FakeSocket& socket = peer(broken);
        if (before_reset > 0) {
            socket.send_plan.push_back(before_reset);
            output_pass(server);
        }
        socket.send_plan.push_back(-WSAECONNRESET);
        output_pass(server);
        EXPECT_TRUE(net.socket(broken_socket).closed);
        EXPECT_EQ(net.socket(broken_socket).sent, (first + second).substr(0, before_reset));
        EXPECT_EQ(peer(behind).sent, first + second);
        close_session(server, behind, nullptr);
        ASSERT_TRUE(sessions().empty());
    }
}

} // namespace
