// The output pass against every way a send can go short or fail: each
// partial size, refusals for just under and just at the limit, and a reset
// connection. No byte may be lost, repeated or reordered, and a closed
// receiver must not cost the one after it its turn.
#include "switch/output_pass.h"
#include "switch/input_pass.h"
#include "switch/turn.h"
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
        ASSERT_EQ(queue_append(receiver->output.queue, first), true);
        ASSERT_EQ(queue_append(receiver->output.queue, second), true);
        output_queued(server, *receiver);
    }

    std::string first;
    std::string second;
};

// One send a turn, each taking size bytes: the next turn resumes where the
// last one stopped, across the frame boundary too.
TEST_F(SendFaults, EveryPartialSizeOnePieceATurnResumesWhereItStopped)
{
    Session* receiver = add_session();
    queue_two_frames(receiver);
    const std::string expected = first + second;
    for (int size = 1; size <= static_cast<int>(expected.size()) + 1; size++) {
        SCOPED_TRACE(size);
        FakeSocket& socket = peer(receiver);
        socket.sent.clear();
        int turns = 0;
        while (receiver->output.queue.length > 0 && turns++ < 10000) {
            socket.send_plan = {size};
            serve_one_turn(server);
        }
        ASSERT_EQ(socket.sent, expected);
        ASSERT_EQ(turns, static_cast<int>((expected.size() + size - 1) / size));
        queue_two_frames(receiver);
    }
}

struct Stall {
    int code;
    std::int64_t ms;
    bool survives;
};

class Stalls : public SendFaults, public ::testing::WithParamInterface<Stall> {};

// A socket that refuses (would block, no buffers) is waited for until the
// limit; refused at the limit, its session is closed. The receiver behind
// it is served in every turn throughout.
TEST_P(Stalls, TheReceiverSurvivesOnlyAStallShorterThanTheLimit)
{
    const Stall stall = GetParam();
    Session* blocked = add_session();
    Session* behind = add_session();
    queue_two_frames(blocked);
    FakeSocket& blocked_socket = peer(blocked);
    std::string to_behind;
    for (std::int64_t ms = 0; ms <= stall.ms; ms++) {
        blocked_socket.send_plan = {-stall.code};
        std::string frame = make_frame("x b \"\" " + std::to_string(ms));
        ASSERT_EQ(queue_append(behind->output.queue, frame), true);
        output_queued(server, *behind);
        to_behind += frame;
        serve_one_turn(server);
        ASSERT_EQ(peer(behind).sent, to_behind) << ms << " ms";
        net.now_ms += 1;
    }
    EXPECT_EQ(blocked_socket.sent, "");
    EXPECT_EQ(blocked_socket.send_calls, stall.ms >= SEND_STALL_LIMIT_MS ? 2 : 1) << "the first refusal and the last";
    blocked_socket.send_plan.clear();
    serve_one_turn(server);
    if (stall.survives) {
        EXPECT_EQ(blocked_socket.sent, first + second);
    } else {
        EXPECT_TRUE(blocked_socket.closed);
        EXPECT_NE(log().find("logged out: [127.0.0.100]"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, Stalls,
    ::testing::Values(Stall{WSAEWOULDBLOCK, SEND_STALL_LIMIT_MS - 1, true},
                      Stall{WSAEWOULDBLOCK, SEND_STALL_LIMIT_MS, false},
                      Stall{WSAENOBUFS, SEND_STALL_LIMIT_MS - 1, true},
                      Stall{WSAENOBUFS, SEND_STALL_LIMIT_MS, false}),
    [](const ::testing::TestParamInfo<Stall>& info) {
        return "Of" + std::to_string(info.param.code) + "For" + std::to_string(info.param.ms) + "Ms";
    });

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
        socket_handle broken_socket = broken->transport.socket;
        FakeSocket& socket = peer(broken);
        if (before_reset > 0) {
            socket.send_plan.push_back(before_reset);
            serve_one_turn(server);
        }
        socket.send_plan.push_back(-WSAECONNRESET);
        serve_one_turn(server);
        EXPECT_TRUE(net.socket(broken_socket).closed);
        EXPECT_EQ(net.socket(broken_socket).sent, (first + second).substr(0, before_reset));
        EXPECT_EQ(peer(behind).sent, first + second);
        close_session(server, *behind, nullptr);
        free_closed_sessions(server);
        ASSERT_TRUE(sessions().empty());
    }
}

} // namespace
