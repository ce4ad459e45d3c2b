// The log file is appended in text mode: a Windows build stores each line
// end as CRLF, a POSIX build as LF, and received bytes go in as they came.
#include "tests/support/server_process.h"
#include "tests/support/test_client.h"

#include <gtest/gtest.h>

namespace {

int count_of(const std::string& text, const std::string& needle)
{
    int count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        count++;
    return count;
}

TEST(LineEndsE2E, LogLinesEndAsThePlatformsTextModeWritesThem)
{
    std::uint16_t port = ServerProcess::free_port();
    ServerProcess server({std::to_string(port), "alice", "secret"});
    TestClient client(port);
    ASSERT_TRUE(client.connected());
    ASSERT_EQ(client.read_exact(6), "login:");
    client.send("bob\r\n");
    // The received bytes read back unchanged, whatever the platform stored.
    ASSERT_TRUE(server.wait_for_log(": bob\r\n")) << server.log_text();
    ASSERT_EQ(client.read_exact(9), "password:");

    std::string stored = server.log_bytes();
    if (server_runs_under_wine()) {
        // Every "\n" became "\r\n": the client's own CR stands before it.
        EXPECT_EQ(count_of(stored, "\n"), count_of(stored, "\r\n")) << stored;
        EXPECT_NE(stored.find(": bob\r\r\n"), std::string::npos) << stored;
        EXPECT_NE(stored.find("srv: starting server\r\n"), std::string::npos) << stored;
    } else {
        EXPECT_EQ(stored, server.log_text());
        EXPECT_EQ(count_of(stored, "\r"), 1) << stored;
    }
}

} // namespace
