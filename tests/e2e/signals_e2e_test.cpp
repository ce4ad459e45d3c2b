#include "tests/support/e2e_helpers.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

namespace {

constexpr const char* STOP_LINE = "srv: stopping server\n";

bool ends_with_stop_line(const std::string& log)
{
    return log.ends_with(STOP_LINE);
}

TEST(SignalsE2E, UnreadConsoleHoldsNeitherTheRelayNorAStop)
{
    if (server_runs_under_wine())
        GTEST_SKIP() << "POSIX pipes and signals; on Windows the echo still waits for its reader";
    RunningServer server({}, {E2E_LOGIN, E2E_PASSWORD}, "QuillmarshSrv.log.txt", ServerStdout::unread_pipe);
    auto sender = server.join();
    auto receiver = server.join();
    // Each frame is echoed in its "from" line: these fill the pipe six times.
    const std::string frame = make_frame("msg alice \"\" " + std::string(1000, 'x'));
    std::string burst;
    for (int i = 0; i < 400; i++)
        burst += frame;
    sender->send(burst);
    EXPECT_EQ(receiver->read_exact(burst.size(), 20000).size(), burst.size());
    TestClient newcomer(server.port);
    EXPECT_EQ(newcomer.read_exact(6), "login:");
    EXPECT_TRUE(server.process.wait_for_log("Connected to: ", 3));

    // Read again, the console is told what it missed.
    server.process.drain_stdout();
    TestClient another(server.port);
    std::string console;
    for (int i = 0; i < 500 && console.find(" console lines skipped since ") == std::string::npos; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        console += server.process.drain_stdout();
    }
    EXPECT_NE(console.find(" console lines skipped since "), std::string::npos) << console;

    server.process.send_signal(SIGTERM);
    EXPECT_EQ(server.process.wait_exit(2000), 0);
    EXPECT_TRUE(ends_with_stop_line(server.process.log_text()));
}

TEST(SignalsE2E, StopDuringTheBannerPauseExitsCleanly)
{
    if (server_runs_under_wine())
        GTEST_SKIP() << "POSIX signals";
    ServerProcess process({std::to_string(ServerProcess::free_port()), E2E_LOGIN, E2E_PASSWORD});
    for (int i = 0; i < 500 && process.stdout_text().empty(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    process.send_signal(SIGTERM);
    EXPECT_EQ(process.wait_exit(2000), 0);
    EXPECT_FALSE(process.log_exists());
}

TEST(SignalsE2E, HangUpReopensTheLogUserSignalsAreIgnoredQuitStops)
{
    if (server_runs_under_wine())
        GTEST_SKIP() << "POSIX signals";
    RunningServer server;
    auto client = server.join();
    const auto& dir = server.process.directory().path();
    std::filesystem::rename(dir / "QuillmarshSrv.log.txt", dir / "QuillmarshSrv.log.txt.1");
    server.process.send_signal(SIGHUP);
    EXPECT_TRUE(server.process.wait_for_log("srv: reloading\n"));
    server.process.send_signal(SIGUSR1);
    server.process.send_signal(SIGUSR2);
    TestClient newcomer(server.port);
    EXPECT_EQ(newcomer.read_exact(6), "login:");
    EXPECT_TRUE(server.process.wait_for_log("Connected to: "));
    server.process.send_signal(SIGQUIT);
    EXPECT_EQ(server.process.wait_exit(2000), 0);
    EXPECT_TRUE(ends_with_stop_line(server.process.log_text())) << server.process.log_text();
}

} // namespace
