#include "app/command_line.h"
#include "tests/support/e2e_helpers.h"
#include "tests/support/scratch_directory.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <regex>

namespace {


TEST(OptionsE2E, HelpAndVersionGoToStdoutAndExitZero)
{
    ServerProcess help({"--help"});
    ServerProcess version({"--version", "8023", "alice", "pw"});
    EXPECT_EQ(help.wait_exit(30000), 0);
    EXPECT_EQ(help.stdout_text(), full_usage());
    EXPECT_EQ(version.wait_exit(30000), 0);
    EXPECT_EQ(version.stdout_text(), SERVER_BANNER);
    EXPECT_FALSE(help.log_exists() || version.log_exists());
}

TEST(OptionsE2E, WrongOptionsSayWhyWithTheUsageAndExitTwo)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--bogus", "8023", "alice", "pw"}, "unknown option --bogus"},
        {{"--max-clients", "0", "8023", "alice", "pw"}, "--max-clients takes a number from 1 to 100000, not '0'"},
        {{"--quiet", "8023", "alice"}, "expected <port_number> <login> <password> after the options, got 2 arguments"},
    };
    for (const auto& [arguments, reason] : cases) {
        ServerProcess server(arguments);
        EXPECT_EQ(server.wait_exit(30000), 2) << reason;
        // Ends with: wine may have its own say first.
        EXPECT_TRUE(server.stderr_text().ends_with("QuillmarshSrv: " + reason + "\n" + full_usage()))
            << server.stderr_text();
        EXPECT_EQ(server.stdout_text(), "");
        EXPECT_FALSE(server.log_exists());
    }
}

TEST(OptionsE2E, LogFileQuietNumericAndMaxClients)
{
    RunningServer server({"--log-file", "events.log", "--quiet", "--numeric", "--max-clients", "300"},
                         {E2E_LOGIN, E2E_PASSWORD}, "events.log");
    auto client = server.join();
    EXPECT_NE(server.process.log_text().find("Connected to: [127.0.0.1]\n"), std::string::npos)
        << server.process.log_text();
    EXPECT_FALSE(std::filesystem::exists(server.process.directory().path() / "QuillmarshSrv.log.txt"));
    EXPECT_EQ(server.process.stdout_text(), SERVER_BANNER);
}

// One session's lines picked out of many from one host: by its login,
// source port and number, the login's control bytes escaped.
TEST(OptionsE2E, LogIdentityNamesTheLoginSourcePortAndNumber)
{
    RunningServer server({"--log-identity", "--numeric"}, {E2E_LOGIN, E2E_PASSWORD});
    auto alice = server.join();
    TestClient intruder(server.port);
    EXPECT_TRUE(intruder.login("ev\x1bil", "guess"));
    EXPECT_TRUE(intruder.wait_closed());
    alice->send(make_frame("hi alice \"\""));
    alice->close();
    ASSERT_TRUE(server.process.wait_for_log("logged out: ", 2));
    const std::string log = server.process.log_text();
    const std::string peer = R"(\[127\.0\.0\.1\]:[0-9]+)";
    for (const std::string& line : {"Connected to: " + peer + " #1", "from " + peer + " #1: alice",
                                    "logged in: alice@" + peer + " #1", "from alice@" + peer + " #1: hi alice",
                                    "logged out: alice@" + peer + " #1", "Connected to: " + peer + " #2",
                                    R"(login refused: ev\\x1bil@)" + peer + " #2",
                                    R"(logged out: ev\\x1bil@)" + peer + " #2"})
        EXPECT_TRUE(std::regex_search(log, std::regex("\n[0-9:/ ]+ " + line))) << line << "\n" << log;
}

class PasswordFileE2E : public ::testing::Test {
protected:
    std::string write(const std::string& bytes) { return files.write("password", bytes); }
    ScratchDirectory files;
};

TEST_F(PasswordFileE2E, TheFirstLineIsThePassword)
{
    RunningServer server({"--password-file", write(std::string(E2E_PASSWORD) + "\r\nnot this\n")}, {E2E_LOGIN});
    auto client = server.join();
}

TEST_F(PasswordFileE2E, MissingOrEmptyFileIsRefusedBeforeTheBanner)
{
    const std::string missing = (files.path() / "missing").string();
    const std::pair<std::string, std::string> cases[] = {
        {missing, missing + ": No such file or directory"},
        {write("\n"), "the first line is empty"},
    };
    for (const auto& [path, reason] : cases) {
        ServerProcess server({"--password-file", path, "8023", E2E_LOGIN});
        EXPECT_EQ(server.wait_exit(30000), 2);
        EXPECT_NE(server.stderr_text().find(reason), std::string::npos) << server.stderr_text();
        EXPECT_EQ(server.stdout_text(), "");
    }
}

TEST(PasswordArgumentE2E, IsBlankedInTheProcessList)
{
    if (server_runs_under_wine())
        GTEST_SKIP() << "/proc shows wine's own command line";
    RunningServer server;
    ASSERT_TRUE(server.process.wait_for_log("starting server"));
    std::ifstream cmdline("/proc/" + std::to_string(server.process.process_id()) + "/cmdline",
                          std::ios::binary);
    const std::string shown{std::istreambuf_iterator<char>(cmdline), {}};
    EXPECT_NE(shown.find(std::string(E2E_LOGIN) + '\0'), std::string::npos);
    EXPECT_EQ(shown.find(E2E_PASSWORD), std::string::npos);
    auto client = server.join();
}

} // namespace
