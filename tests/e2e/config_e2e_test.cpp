// The configuration file as an operator uses it: a start from the file, a
// reload that takes what can change live, and --check-config.
#include "app/config_file.h"
#include "tests/support/e2e_helpers.h"
#include "tests/support/test_certificate.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

class ConfigE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!config_files_supported())
            GTEST_SKIP() << config_files_unsupported_reason();
        files.write("password", std::string(E2E_PASSWORD) + "\n");
    }
    std::string path(const std::string& name) const { return (files.path() / name).string(); }
    std::string write_config(const std::string& text) { return files.write("quillmarsh.toml", text); }
    // As the system asks: a signal, or on Windows the changed file alone.
    void reload(RunningServer& server)
    {
        if (!server_runs_under_wine())
            server.process.send_signal(SIGHUP);
    }
    ScratchDirectory files;
};

TEST_F(ConfigE2E, ReloadTakesWhatCanChangeLiveAndKeepsTheRest)
{
    // The command line's log file wins over the file's, also after the reload.
    const std::string head = "login = \"alice\"\npassword-file = \"" + path("password") +
                             "\"\nnumeric = true\nlog-file = \"file.log\"\n";
    const std::string config = write_config(head + "max-clients = 100\n");
    RunningServer server({"--config", config, "--log-file", "events.log"}, {}, "events.log");
    auto sender = server.join();
    auto receiver = server.join();
    const std::string logged = make_frame("msg a \"\" logged");
    sender->send(logged);
    EXPECT_EQ(receiver->read_exact(logged.size()), logged);
    EXPECT_TRUE(server.process.wait_for_log(": msg a \"\" logged"));

    write_config(head + "max-clients = 200\nlog-frames = false\n");
    reload(server);
    EXPECT_TRUE(server.process.wait_for_log("srv: reload: max-clients needs a restart\n"))
        << server.process.log_text();
    const std::string unlogged = make_frame("msg a \"\" unlogged");
    sender->send(unlogged);
    EXPECT_EQ(receiver->read_exact(unlogged.size()), unlogged);
    auto newcomer = server.join();
    EXPECT_EQ(server.process.log_text().find("unlogged"), std::string::npos);

    // A file that no longer reads keeps what runs.
    write_config(head + "max-clients = = 3\n");
    reload(server);
    EXPECT_TRUE(server.process.wait_for_log("srv: reload failed, configuration kept: " + config + ":5:15: "));
    auto another = server.join();
    EXPECT_FALSE(std::filesystem::exists(server.process.directory().path() / "file.log"));
}

TEST_F(ConfigE2E, CheckConfigReadsEverythingAndBindsNothing)
{
    RunningServer running;
    const std::string good = "port = " + std::to_string(running.port) + "\nlogin = \"alice\"\npassword-file = \"" +
                             path("password") + "\"\n";
    ServerProcess check({"--check-config", "--config", write_config(good)});
    EXPECT_EQ(check.wait_exit(30000), 0) << check.stderr_text();
    EXPECT_EQ(check.stdout_text(), "QuillmarshSrv: configuration OK\n");
    EXPECT_FALSE(check.log_exists());

    // The package's file, its users file standing in for the one the
    // package makes: empty, which is said.
    files.write("users", "");
    ServerProcess packaged({"--check-config", "--config", QM_PACKAGED_CONFIG, "--users", path("users")});
    EXPECT_EQ(packaged.wait_exit(30000), 0) << packaged.stderr_text();
    EXPECT_EQ(packaged.stdout_text(), "QuillmarshSrv: no users in " + path("users") +
                                          ": nobody can log in until qmpasswd adds one\n"
                                          "QuillmarshSrv: configuration OK\n");

    const std::pair<std::string, std::string> wrong[] = {
        {"port = 8023\nusers = \"" + path("none") + "\"\n", path("none") + ": "},
        {good + "bind = [\"localhost\"]\n", "--bind: 'localhost' is not an IPv4 or IPv6 address"},
        {good + "metrics = \"127.0.0.1:" + std::to_string(running.port) + "\"\n",
         "port " + std::to_string(running.port) + " is given twice: port and metrics"},
        {"port = 8023\nlogin = \"alice\"\npassword-file = \"" + path("none") + "\"\n", "password file "},
        {good + "bind = [\"127.0.0.1\", \"0.0.0.0\"]\n",
         "--bind: '127.0.0.1' and '0.0.0.0' overlap: port " + std::to_string(running.port)},
        {good + "ws-port = " + std::to_string(running.port) + "\n",
         "port " + std::to_string(running.port) + " is given twice: port and ws-port"},
        {good + "ws-port = 8080\nws-trusted-proxy = [\"proxy\"]\n",
         "--ws-trusted-proxy: 'proxy' is not an IPv4 or IPv6 address"},
    };
    for (const auto& [text, reason] : wrong) {
        ServerProcess refused({"--check-config", "--config", write_config(text)});
        EXPECT_EQ(refused.wait_exit(30000), 2) << text;
        EXPECT_NE(refused.stderr_text().find("QuillmarshSrv: " + reason), std::string::npos) << refused.stderr_text();
    }
    // An IPv6 listener takes IPv6 only: the same port on an IPv4 address is apart.
    ServerProcess apart({"--check-config", "--config",
                         write_config(good + "bind = [\"::\"]\nmetrics = \"127.0.0.1:" +
                                      std::to_string(running.port) + "\"\n")});
    EXPECT_EQ(apart.wait_exit(30000), 0) << apart.stderr_text();
#ifdef QM_HAVE_OPENSSL
    if (server_runs_under_wine())
        return;
    const TlsServerFiles one = self_signed(files.path(), "one");
    const TlsServerFiles two = self_signed(files.path(), "two");
    ServerProcess mismatched({"--check-config", "--config", write_config(good), "--tls-port", "8024", "--tls-cert",
                              one.cert, "--tls-key", two.key});
    EXPECT_EQ(mismatched.wait_exit(30000), 2);
    EXPECT_NE(mismatched.stderr_text().find("QuillmarshSrv: --tls-port: "), std::string::npos)
        << mismatched.stderr_text();
#endif
}

} // namespace
