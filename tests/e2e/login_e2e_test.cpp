#include "tests/support/e2e_helpers.h"

#include <gtest/gtest.h>

namespace {

TEST(LoginE2E, LoginAndPasswordInOnePacketLogIn)
{
    RunningServer server;
    TestClient client(server.port);
    EXPECT_EQ(client.read_exact(6), "login:");
    client.send("alice\r\ns3cret\r\n");
    EXPECT_EQ(client.read_exact(9), "password:");
    EXPECT_TRUE(server.process.wait_for_log("logged in: "));
    EXPECT_EQ(client.read_until_quiet(200), "") << "nothing is sent on success";
}

TEST(LoginE2E, PlainLineFeedsWork)
{
    RunningServer server;
    TestClient client(server.port);
    client.read_exact(6);
    client.send("alice\n");
    EXPECT_EQ(client.read_exact(9), "password:");
    client.send("s3cret\n");
    EXPECT_TRUE(server.process.wait_for_log("logged in: "));
}

TEST(LoginE2E, WrongOrCaseDifferentCredentialsAreClosedWithoutAWord)
{
    RunningServer server;
    int refused = 0;
    for (auto [user, password] : {std::pair{"Alice", "s3cret"}, std::pair{"alice", "S3cret"},
                                  std::pair{"bob", "s3cret"}}) {
        TestClient client(server.port);
        client.read_exact(6);
        client.send(std::string(user) + "\r\n");
        EXPECT_EQ(client.read_exact(9), "password:");
        client.send(std::string(password) + "\r\n");
        EXPECT_EQ(client.read_until_quiet(3000), "") << user << " / " << password;
        EXPECT_TRUE(client.wait_closed(100));
        EXPECT_TRUE(server.process.wait_for_log("logged out: ", ++refused));
    }
    EXPECT_EQ(server.process.log_text().find("logged in"), std::string::npos);
}

TEST(LoginE2E, BytesAfterThePasswordLineAreFrames)
{
    RunningServer server;
    auto receiver = server.join();
    TestClient sender(server.port);
    sender.read_exact(6);
    std::string frame = make_frame("x me \"\" early");
    sender.send("alice\ns3cret\n" + frame);
    EXPECT_EQ(receiver->read_exact(frame.size()), frame);
}

} // namespace
