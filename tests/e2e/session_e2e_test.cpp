#include "platform/client.h"
#include "tests/support/e2e_helpers.h"

#include <csignal>
#include <gtest/gtest.h>
#include <regex>

namespace {

TEST(SessionE2E, ConnectingClientGetsJustThePromptAndIsLogged)
{
    RunningServer server;
    TestClient client(server.port);
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(client.read_exact(6), "login:");
    EXPECT_EQ(client.read_until_quiet(300), "") << "no line end, nothing else";
    ASSERT_TRUE(server.process.wait_for_log("Connected to: "));
    EXPECT_TRUE(std::regex_search(server.process.log_text(),
                                  std::regex(R"(\d\d/\d\d/\d{4} Connected to: ([^\r\n]+ )?\[127\.0\.0\.1\]\r?\n)")))
        << server.process.log_text();

    client.send("hello\r\n");
    EXPECT_TRUE(server.process.wait_for_log("127.0.0.1]: hello\r")) << "logged as it came";
    EXPECT_EQ(client.read_exact(9), "password:");
    client.close();
    EXPECT_TRUE(server.process.wait_for_log("logged out: "));
}

TEST(SessionE2E, EveryLogLineIsAlsoOnStandardOutput)
{
    RunningServer server;
    {
        TestClient client(server.port);
        client.read_exact(6);
    }
    ASSERT_TRUE(server.process.wait_for_log("logged out: "));
    std::string console = server.process.stdout_text();
    EXPECT_NE(console.find("srv: starting server"), std::string::npos);
    EXPECT_NE(console.find("logged out: "), std::string::npos) << "flushed as it happens";
}

TEST(SessionE2E, MoreThan10000UnreadBytesCloseTheClient)
{
    RunningServer server;
    TestClient client(server.port);
    client.read_exact(6);
    client.send(std::string(10001, 'x'));
    EXPECT_TRUE(client.wait_closed(10000));
    EXPECT_TRUE(server.process.wait_for_log("disconnected (RX buffer overflow!"));
    EXPECT_TRUE(std::regex_search(server.process.log_text(),
                                  std::regex("disconnected \\(RX buffer overflow!\r?\n\\): ")));
}

TEST(SessionE2E, PortIsReadLikeAtoiAndOnlyItsLow16BitsCount)
{
    std::uint16_t port = ServerProcess::free_port();
    ServerProcess server({" +" + std::to_string(port + 65536) + "abc", "alice", "s3cret"});
    TestClient client(port);
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(client.read_exact(6), "login:");
}

TEST(SessionE2E, PortInUseFailsWithBindAndLogsWhyAndTheStop)
{
    std::uint16_t port = 0;
    socket_handle holder = client_listen_loopback(&port);
    ASSERT_NE(holder, INVALID_SOCKET_HANDLE);
    ServerProcess server({std::to_string(port), "alice", "s3cret"});
    // What the harness looks for to start a server again on another port;
    // wine's perror has no words for a socket error.
    if (!server_runs_under_wine()) {
        EXPECT_TRUE(server.lost_the_port(port)) << server.stderr_text();
    }
    EXPECT_EQ(server.wait_exit(30000), 1);
    EXPECT_EQ(server.stderr_text().rfind("bind: ", 0), 0u) << server.stderr_text();
    std::string log = server.log_text();
    std::size_t said = log.find("srv: cannot listen: bind 0.0.0.0:" + std::to_string(port) + ": ");
    EXPECT_LT(log.find("srv: starting server"), said) << log;
    EXPECT_NE(said, std::string::npos) << log;
    EXPECT_NE(log.find("srv: stopping server\n", said), std::string::npos) << log;
    client_close(holder);
}

} // namespace

// An operator's stop writes every line and is a success, not a crash.
TEST(SessionE2E, TerminateFlushesTheLogAndExitsZero)
{
    if (server_runs_under_wine())
        GTEST_SKIP() << "a POSIX signal does not reach a Windows console program";
    RunningServer server;
    TestClient client(server.port);
    client.read_exact(6);
    client.send("alice\n");
    client.read_exact(9);
    ASSERT_TRUE(server.process.wait_for_log("alice"));
    kill(server.process.process_id(), SIGTERM);
    EXPECT_EQ(server.process.wait_exit(5000), 0);
    EXPECT_NE(server.process.stdout_text().find("alice"), std::string::npos);
}
