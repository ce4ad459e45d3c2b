// Far more clients than one socket set of 64 holds: all are greeted, log in
// and are reached by one frame to all.
#include "tests/support/e2e_helpers.h"

#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

TEST(ManyClientsE2E, TwoHundredClientsLogInAndAllReceiveOneFrameToAll)
{
    constexpr int CLIENTS = 200;
    RunningServer server({"--max-clients", "300"}, {E2E_LOGIN, E2E_PASSWORD});
    std::vector<std::unique_ptr<TestClient>> clients;
    // All connect before any logs in, so their names are looked up side by side.
    for (int i = 0; i < CLIENTS; i++) {
        clients.push_back(std::make_unique<TestClient>(server.port));
        ASSERT_TRUE(clients.back()->connected()) << "client " << i;
    }
    for (int i = 0; i < CLIENTS; i++)
        ASSERT_TRUE(clients[static_cast<std::size_t>(i)]->login(E2E_LOGIN, E2E_PASSWORD)) << "client " << i;
    ASSERT_TRUE(server.process.wait_for_log("logged in: ", CLIENTS)) << server.process.log_text();

    std::string frame = make_frame("x me \"\" hello");
    clients[0]->send(frame);
    for (int i = 1; i < CLIENTS; i++)
        ASSERT_EQ(clients[static_cast<std::size_t>(i)]->read_exact(frame.size()), frame) << "client " << i;
    EXPECT_EQ(clients[0]->read_until_quiet(1), "") << "the sender never gets its own frame";
}

} // namespace
