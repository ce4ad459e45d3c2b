#include "tests/support/server_process.h"
#include "tests/support/test_client.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* USAGE = "Usage: QuillmarshSrv <port_number> <login> <password>\n\n";

TEST(StartupE2E, WrongArgumentCountPrintsUsageAndExitsZeroWithoutALog)
{
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"8023", "a"},
                      std::vector<std::string>{"8023", "a", "b", "c"}}) {
        ServerProcess server(args);
        EXPECT_EQ(server.wait_exit(30000), 0);
        EXPECT_EQ(server.stdout_text(), std::string(SERVER_BANNER) + USAGE);
        EXPECT_FALSE(server.log_exists());
    }
}

TEST(StartupE2E, NullPortIsRefusedWithExitOneAndNothingLogged)
{
    // Only the low 16 bits name the port: 65536 would listen on any free one.
    for (const char* port : {"0", "abc", "", "65536", "-131072"}) {
        ServerProcess server({port, "alice", "secret"});
        EXPECT_EQ(server.wait_exit(30000), 1) << "port '" << port << "'";
        EXPECT_EQ(server.stdout_text(), std::string(SERVER_BANNER) + "port cannot be null!\n");
        EXPECT_FALSE(server.log_exists());
    }
}

} // namespace
