// The wait step's socket sets hold 64 sockets, the listener first: only the
// 63 oldest clients are polled, on the POSIX sets and on WinSock's fd_set.
#include "tests/support/e2e_helpers.h"

#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

TEST(SocketSetsE2E, OnlyTheOldest63ClientsAreReadUntilOneLeaves)
{
    RunningServer server;
    std::vector<std::unique_ptr<TestClient>> clients;
    // All from one address: with nobody else waiting, each is prompted.
    for (int i = 0; i < 64; i++) {
        clients.push_back(std::make_unique<TestClient>(server.port));
        ASSERT_EQ(clients.back()->read_exact(6), "login:") << "client " << i + 1;
    }
    ServerProcess& process = server.process;
    clients[63]->send("late\n");
    // Were the 64th polled, its line, sent first, would be logged no later
    // than the turn after that of the first client's line.
    clients[0]->send("first\n");
    ASSERT_TRUE(process.wait_for_log(": first\n"));
    clients[1]->send("second\n");
    ASSERT_TRUE(process.wait_for_log(": second\n"));
    EXPECT_EQ(process.log_text().find(": late\n"), std::string::npos) << process.log_text();

    // One of the oldest leaves: the 64th moves up and its waiting line is read.
    clients[0]->close();
    EXPECT_TRUE(process.wait_for_log(": late\n")) << process.log_text();
}

} // namespace
