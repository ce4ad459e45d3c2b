#include "platform/client.h"
#include "tests/support/e2e_helpers.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

struct RelayE2E : ::testing::Test {
    void SetUp() override
    {
        alice = server.join();
        bob = server.join();
        carol = server.join();
        server.announce(*alice, "alice");
        server.announce(*bob, "bob");
        server.announce(*carol, "carol");
    }
    RunningServer server;
    std::unique_ptr<TestClient> alice;
    std::unique_ptr<TestClient> bob;
    std::unique_ptr<TestClient> carol;
};

TEST_F(RelayE2E, AddressedFrameReachesOnlyItsAddressee)
{
    std::string frame = make_frame("msg alice \"bob\" hi bob");
    alice->send(frame);
    EXPECT_EQ(bob->read_exact(frame.size()), frame);
    EXPECT_EQ(carol->read_until_quiet(300), "");
    EXPECT_EQ(alice->read_until_quiet(1), "") << "the sender never gets its own frame";
}

TEST_F(RelayE2E, QuotedEmptyDestinationReachesEveryoneElse)
{
    std::string frame = make_frame("msg carol \"\"");
    carol->send(frame);
    EXPECT_EQ(alice->read_exact(frame.size()), frame);
    EXPECT_EQ(bob->read_exact(frame.size()), frame);
    EXPECT_EQ(carol->read_until_quiet(300), "");
}

TEST_F(RelayE2E, UnquotedDestinationBeforeTheCheckByteReachesNobody)
{
    carol->send(make_frame("msg carol bob"));
    std::string marker = make_frame("msg carol \"bob\" marker");
    carol->send(marker);
    EXPECT_EQ(bob->read_exact(marker.size()), marker) << "only the marker arrives";
}

TEST_F(RelayE2E, FramesArriveByteExactAndBackToBack)
{
    std::string burst;
    for (int i = 0; i < 50; i++)
        burst += make_frame("seq alice \"bob\" " + std::to_string(i) + " \x01\x7f\"\\");
    alice->send(burst);
    EXPECT_EQ(bob->read_exact(burst.size()), burst);
}

// Far more than the 10000 bytes of unread input a client may hold: the
// server reads the sender only as fast as it relays.
TEST_F(RelayE2E, BurstOf2000FramesInOneWriteArrivesWholeAndInOrder)
{
    std::string burst;
    for (int i = 0; i < 2000; i++)
        burst += make_frame("seq alice \"bob\" " + std::to_string(i));
    std::thread writer([&] { alice->send(burst); });
    std::string got = bob->read_exact(burst.size(), 30000);
    writer.join();
    EXPECT_EQ(got.size(), burst.size());
    EXPECT_TRUE(got == burst) << "bytes lost, repeated or reordered";
    EXPECT_EQ(server.process.log_text().find("RX buffer overflow"), std::string::npos);
}

TEST_F(RelayE2E, FramesSentBeforeAShutdownAreAllRelayedThenTheSenderLogsOut)
{
    std::string frames;
    for (int i = 0; i < 20; i++)
        frames += make_frame("seq carol \"bob\" " + std::to_string(i));
    carol->send(frames + "x carol \"bob\" partial");
    ASSERT_EQ(client_shutdown_send(carol->handle()), 0);
    EXPECT_EQ(bob->read_exact(frames.size()), frames);
    EXPECT_TRUE(carol->wait_closed());
    EXPECT_TRUE(server.process.wait_for_log("logged out: "));
    EXPECT_EQ(bob->read_until_quiet(100), "") << "the partial frame dies with its sender";
}

TEST_F(RelayE2E, SlowReaderWithASmallBufferGetsEveryByteInOrder)
{
    auto slow = server.join(16384);
    server.announce(*slow, "slow");
    std::string all;
    for (int i = 0; i < 400; i++)
        all += make_frame("seq alice \"slow\" " + std::to_string(i) + " " + std::string(500, 'a' + i % 26));
    std::thread writer([&] { alice->send(all); });
    std::string got;
    while (got.size() < all.size()) {
        std::string piece = slow->read_exact(std::min<std::size_t>(700, all.size() - got.size()), 10000);
        if (piece.empty())
            break;
        got += piece;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    writer.join();
    EXPECT_EQ(got.size(), all.size());
    EXPECT_TRUE(got == all) << "bytes lost, repeated or reordered";
}

TEST_F(RelayE2E, ReaderThatStopsIsClosedWhileTheOthersGoOn)
{
    auto stuck = server.join(4096);
    std::string frame = make_frame("bulk alice \"\" " + std::string(3000, 'z'));
    std::string all;
    for (int i = 0; i < 3000; i++)
        all += frame;
    std::thread writer([&] { alice->send(all); });
    std::thread reader_carol([&] { EXPECT_TRUE(carol->read_exact(all.size(), 60000) == all); });
    std::string got = bob->read_exact(all.size(), 60000);
    writer.join();
    reader_carol.join();
    EXPECT_EQ(got.size(), all.size());
    EXPECT_TRUE(got == all);
    EXPECT_TRUE(server.process.wait_for_log("logged out: "))
        << "the stopped reader is closed";
    // Alice is still there, so the one session closed is the stopped reader.
    std::string after = make_frame("after alice \"bob\"");
    alice->send(after);
    EXPECT_EQ(bob->read_exact(after.size()), after);
    EXPECT_TRUE(server.process.log_text().find("logged out: ") ==
                server.process.log_text().rfind("logged out: "));
}

} // namespace
