// A users file made with qmpasswd, a rights file, refused logins and their
// throttling, and a reload, as an operator sees them.
#include "platform/password_hash.h"
#include "tests/support/e2e_helpers.h"
#include "tests/support/tool_process.h"

#include <csignal>
#include <gtest/gtest.h>

namespace {

struct AccountsE2E : ::testing::Test {
    ScratchDirectory files;
    std::string users = (files.path() / "users").string();
    std::string rights = (files.path() / "rights").string();
    std::unique_ptr<RunningServer> server;

    void SetUp() override
    {
        if (!password_hashing_available())
            GTEST_SKIP() << password_hashing_unavailable_reason();
        add_user("alice", "alice pass");
        add_user("bob", "bob pass");
        add_user("carol", "carol pass");
        files.write("rights", "# who speaks for what\nalice alice\nbob bob*\ncarol carol\n");
    }

    void add_user(const std::string& login, const std::string& password)
    {
        ToolProcess tool(QM_PASSWD_BINARY, {users, login}, {}, password + "\n");
        ASSERT_EQ(tool.wait_exit(), 0) << tool.err();
    }

    void start(std::vector<std::string> options = {})
    {
        options.insert(options.end(), {"--numeric", "--users", users, "--rights", rights});
        server = std::make_unique<RunningServer>(options, std::vector<std::string>{});
    }

    // A reload, asked for as the system asks: a signal, or on Windows the
    // changed file alone.
    void reload()
    {
        if (!server_runs_under_wine())
            server->process.send_signal(SIGHUP);
    }

    std::unique_ptr<TestClient> join(const std::string& login, const std::string& password)
    {
        auto client = std::make_unique<TestClient>(server->port);
        EXPECT_TRUE(client->login(login, password));
        EXPECT_TRUE(server->process.wait_for_log("logged in: ", ++server->logins)) << server->process.log_text();
        return client;
    }

    // Refused: closed without a word, "login refused" logged before "logged out".
    void expect_refused(const std::string& login, const std::string& password, const char* source = nullptr)
    {
        TestClient client(server->port, 20000, 0, source);
        ASSERT_TRUE(client.login(login, password));
        EXPECT_EQ(client.read_until_quiet(500), "");
        EXPECT_TRUE(client.wait_closed());
    }
};

TEST_F(AccountsE2E, EachUserLogsInWithItsOwnPasswordAndEveryRefusalIsLogged)
{
    start();
    auto alice = join("alice", "alice pass");
    auto bob = join("bob", "bob pass");
    expect_refused("alice", "bob pass");
    expect_refused("nobody", "alice pass");
    ASSERT_TRUE(server->process.wait_for_log("logged out: ", 2));
    std::string log = server->process.log_text();
    EXPECT_NE(log.find("login refused: [127.0.0.1]\n"), std::string::npos) << log;
    EXPECT_LT(log.find("login refused: "), log.find("logged out: "));
    EXPECT_EQ(log.find("alice pass"), std::string::npos) << "passwords never reach the log";
}

TEST_F(AccountsE2E, NobodySpeaksForAnothersAddressNorReceivesItsFrames)
{
    start();
    auto alice = join("alice", "alice pass");
    auto bob = join("bob", "bob pass");
    auto carol = join("carol", "carol pass");
    bob->send(make_frame("x alice \"\" forged"));
    bob->send(make_frame("x alice \"\" forged again"));
    bob->send(make_frame("x \"b\\x1b[2Jlogged in\" \"\""));
    server->announce(*alice, "alice");
    std::string to_alice = make_frame("x carol \"alice\" for alice");
    carol->send(to_alice);
    EXPECT_EQ(alice->read_exact(to_alice.size()), to_alice) << "the forged frames were not relayed";
    EXPECT_EQ(bob->read_until_quiet(300), "") << "bob never held alice";

    std::string log = server->process.log_text();
    std::string refused = "address refused: [127.0.0.1]: alice\n";
    EXPECT_NE(log.find(refused), std::string::npos) << log;
    EXPECT_EQ(log.find(refused), log.rfind(refused)) << "logged once per session and address";
    EXPECT_NE(log.find("address refused: [127.0.0.1]: b\\x1b[2Jlogged in\n"), std::string::npos)
        << "the client's bytes are escaped";
}

TEST_F(AccountsE2E, RefusedLoginsShutOneAddressOutWhileAnotherLogsIn)
{
    start({"--login-failures", "3"});
    for (int i = 0; i < 3; i++)
        expect_refused("alice", "wrong", "127.0.0.2");
    EXPECT_TRUE(server->process.wait_for_log(
        "srv: too many refused logins from [127.0.0.2]: new connections closed for 60 s\n"));
    TestClient shut(server->port, 20000, 0, "127.0.0.2");
    EXPECT_EQ(shut.read_exact(6, 2000), "") << "closed before the prompt";
    EXPECT_TRUE(shut.wait_closed());
    auto alice = join("alice", "alice pass");
    std::string log = server->process.log_text();
    EXPECT_EQ(log.find("too many refused"), log.rfind("too many refused")) << "once per episode";
}

TEST_F(AccountsE2E, AReloadTakesNewUsersKeepsSessionsAndClosesRemovedOnes)
{
    start();
    auto alice = join("alice", "alice pass");
    auto carol = join("carol", "carol pass");
    server->announce(*alice, "alice");
    add_user("dave", "dave pass");
    files.write("rights", "alice al-*\ndave dave\n");
    ToolProcess remove(QM_PASSWD_BINARY, {"-D", users, "carol"});
    ASSERT_EQ(remove.wait_exit(), 0) << remove.err();
    reload();
    ASSERT_TRUE(server->process.wait_for_log("srv: logins reloaded: 3 users\n")) << server->process.log_text();
    EXPECT_TRUE(server->process.wait_for_log("disconnected (login removed): [127.0.0.1]\n"));
    EXPECT_TRUE(carol->wait_closed());

    auto dave = join("dave", "dave pass");
    dave->send(make_frame("x dave \"alice\" lost"));
    std::string frame = make_frame("x dave \"\" hello");
    dave->send(frame);
    EXPECT_EQ(alice->read_exact(frame.size()), frame)
        << "alice stayed online, but no longer holds the address her rights lost";

    files.write("users", "alice:not a hash\n");
    reload();
    EXPECT_TRUE(server->process.wait_for_log("srv: reload failed, logins kept: " + users +
                                             ":1: not a password hash this server can check\n"))
        << server->process.log_text();
    join("dave", "dave pass");
}

TEST_F(AccountsE2E, AMalformedUsersFileIsNamedAtStart)
{
    files.write("users", "# fine\nalice\n");
    ServerProcess process({"--users", users, std::to_string(ServerProcess::free_port())});
    EXPECT_EQ(process.wait_exit(10000), 2);
    EXPECT_EQ(process.stderr_text(), "QuillmarshSrv: " + users + ":2: expected LOGIN:HASH\n");
}

} // namespace

namespace {

std::string http_get(std::uint16_t port, const std::string& path)
{
    TestClient client(port);
    client.send("GET " + path + " HTTP/1.1\r\n\r\n");
    return client.read_exact(1 << 20, 5000);
}

TEST_F(AccountsE2E, TheMetricsCountRefusalsAndTheSessionsShowTheirLogins)
{
    std::uint16_t metrics_port = ServerProcess::free_port();
    start({"--metrics", "127.0.0.1:" + std::to_string(metrics_port)});
    auto alice = join("alice", "alice pass");
    auto bob = join("bob", "bob pass");
    expect_refused("alice", "wrong");
    alice->send(make_frame("n bob \"\" forged"));
    std::string marker = make_frame("n alice \"\" real");
    alice->send(marker);
    EXPECT_EQ(bob->read_exact(marker.size()), marker) << "only alice's own address passes";

    std::string metrics = http_get(metrics_port, "/metrics");
    EXPECT_NE(metrics.find("\nquillmarsh_frames_dropped_total{reason=\"refused_address\"} 1\n"), std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("\nquillmarsh_logins_total{result=\"refused\"} 1\n"), std::string::npos);
    EXPECT_NE(metrics.find("\nquillmarsh_disconnects_total{reason=\"refused\"} 1\n"), std::string::npos);
    std::string sessions = http_get(metrics_port, "/sessions");
    EXPECT_NE(sessions.find("\"login\":\"alice\",\"addresses\":[\"alice\"]"), std::string::npos) << sessions;
    EXPECT_NE(sessions.find("\"login\":\"bob\",\"addresses\":[]"), std::string::npos) << sessions;
}

} // namespace
