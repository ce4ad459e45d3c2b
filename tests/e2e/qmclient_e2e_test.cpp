// qmclient against the real server, and against a scripted stand-in where
// the server could never produce the case (a bad check byte, a close after
// login).
#include "platform/client.h"
#include "platform/tls.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/server_process.h"
#include "tests/support/test_client.h"
#include "tests/support/tool_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// qmclient with the credentials in the environment.
struct Tool : ToolProcess {
    explicit Tool(const std::vector<std::string>& arguments, const std::string& password = "s3cret",
                  const std::string& input = "")
        : ToolProcess(QM_CLIENT_BINARY, arguments, {{"QM_LOGIN", "team"}, {"QM_PASSWORD", password}}, input)
    {
    }
};

struct QmclientE2E : ::testing::Test {
    std::uint16_t port = ServerProcess::free_port();
    ServerProcess server{{std::to_string(port), "team", "s3cret"}};
    std::string where = std::to_string(port);

    // The tool connects once; the server must be listening by then.
    void SetUp() override { ASSERT_TRUE(TestClient(port).connected()); }

    // A logged-in test client that speaks for address.
    std::unique_ptr<TestClient> member(const std::string& address)
    {
        auto client = std::make_unique<TestClient>(port);
        EXPECT_TRUE(client->login("team", "s3cret"));
        client->send(make_frame("hello " + address + " \"" + address + "\""));
        EXPECT_TRUE(server.wait_for_log("hello " + address));
        return client;
    }
};

TEST_F(QmclientE2E, SendDeliversEachTextAsOneFrameToItsAddressee)
{
    auto bob = member("bob");
    Tool tool({"--send", "msg alice \"bob\" hi bob", "--send", "msg alice \"bob\" again",
               "127.0.0.1", where});
    ASSERT_EQ(tool.wait_exit(), 0) << tool.err();
    std::string expected = make_frame("msg alice \"bob\" hi bob") + make_frame("msg alice \"bob\" again");
    EXPECT_EQ(bob->read_exact(expected.size()), expected);
    // The password came from the environment, never from the command line.
    EXPECT_TRUE(tool.err().empty()) << tool.err();
}

TEST_F(QmclientE2E, ListenAnnouncesItsAddressAndPrintsOnlyFramesForIt)
{
    Tool tool({"--listen", "bob", "--count", "2", "--timeout", "20", "127.0.0.1", where});
    ASSERT_TRUE(server.wait_for_log("hello \"bob\" \"bob\""));
    auto alice = member("alice");
    alice->send(make_frame("msg alice \"carol\" not for bob"));
    alice->send(make_frame("msg alice \"bob\" tab\there"));
    alice->send(make_frame("msg alice \"\" everyone"));
    ASSERT_EQ(tool.wait_exit(), 0) << tool.err();
    EXPECT_EQ(tool.out(), "msg alice \"bob\" tab\\x09here\nmsg alice \"\" everyone\n");
    EXPECT_EQ(tool.err(), "qmclient: listening as bob\n");
}

TEST_F(QmclientE2E, TypedLinesGoOutAsFramesAndEightBitLinesAreRefused)
{
    auto bob = member("bob");
    Tool tool({"--as", "alice", "--to", "bob", "127.0.0.1", where}, "s3cret",
              "hello there\r\n\ncaf\xc3\xa9\nlast line without end");
    ASSERT_EQ(tool.wait_exit(), 0) << tool.err();
    std::string expected = make_frame("say \"alice\" \"bob\" hello there") +
                           make_frame("say \"alice\" \"bob\" last line without end");
    EXPECT_EQ(bob->read_exact(expected.size()), expected);
    EXPECT_EQ(tool.err(), "qmclient: logged in to 127.0.0.1:" + where +
                              "\nqmclient: line not sent: only 7-bit text without zero bytes can travel in a frame\n");
}

TEST_F(QmclientE2E, ExitCodesTellRefusalUnreachableTimeOutAndUsage)
{
    Tool refused({"--send", "msg a \"\" x", "127.0.0.1", where}, "wrong");
    EXPECT_EQ(refused.wait_exit(), 4);
    EXPECT_EQ(refused.err(), "qmclient: login refused\n");

    std::string closed_port = std::to_string(client_free_port());
    Tool unreachable({"--send", "msg a \"\" x", "127.0.0.1", closed_port});
    EXPECT_EQ(unreachable.wait_exit(), 3);
    EXPECT_EQ(unreachable.err(), "qmclient: cannot reach 127.0.0.1:" + closed_port + ": Connection refused\n");

    Tool waiting({"--listen", "nobody", "--count", "1", "--timeout", "1", "127.0.0.1", where});
    EXPECT_EQ(waiting.wait_exit(), 6);
    EXPECT_EQ(waiting.err(), "qmclient: listening as nobody\nqmclient: timed out after 0 of 1 frames\n");

    Tool eight_bit({"--send", "caf\xc3\xa9", "127.0.0.1", where});
    EXPECT_EQ(eight_bit.wait_exit(), 2);
}

// Each mistake is named in one line, credentials that are missing included,
// and no option that would be ignored passes silently.
TEST(QmclientUsage, AMistakeIsNamedInOneLineWithExitTwo)
{
    unsetenv("QM_LOGIN");
    unsetenv("QM_PASSWORD");
    const std::pair<std::string, std::string> login{"QM_LOGIN", "team"}, password{"QM_PASSWORD", "s3cret"};
    struct Case {
        std::vector<std::string> arguments;
        std::vector<std::pair<std::string, std::string>> environment;
        std::string message;
    };
    for (const Case& c : std::vector<Case>{
             {{"127.0.0.1"}, {login, password}, "HOST and PORT are needed"},
             {{"--send", "hello", "world", "127.0.0.1", "1"}, {login, password},
              "expected HOST and PORT, got 3 arguments: world 127.0.0.1 1"},
             {{"127.0.0.1", "1"}, {password}, "no login: set QM_LOGIN or give --login"},
             {{"--login", "team", "127.0.0.1", "1"}, {}, "no password: set QM_PASSWORD or give --password"},
             {{"--count", "1", "127.0.0.1", "1"}, {login, password}, "--count works only with --listen"},
             {{"--to", "bob", "127.0.0.1", "1"}, {login, password}, "--to works only with --as"},
             {{"--insecure", "127.0.0.1", "1"}, {login, password}, "--insecure works only with --tls"},
         }) {
        ToolProcess tool(QM_CLIENT_BINARY, c.arguments, c.environment);
        EXPECT_EQ(tool.wait_exit(), 2) << c.message;
        EXPECT_EQ(tool.err(), "qmclient: " + c.message + "; see qmclient --help\n");
    }
}

// Plays the server's side of the dialogue on a loopback listener, waits for
// the client's announcement, then sends frames and hangs up.
void play_server(socket_handle listener, const std::string& frames)
{
    PeerAddress peer{};
    socket_handle sock = platform.accept(listener, &peer);
    ASSERT_NE(sock, INVALID_SOCKET_HANDLE);
    auto read_until = [&](auto done) {
        std::string got;
        char c;
        while (!done(got) && client_recv(sock, &c, 1, 5000) == 1)
            got.push_back(c);
    };
    client_send_all(sock, "login:", 6);
    read_until([](const std::string& s) { return s.ends_with("\n"); });
    client_send_all(sock, "password:", 9);
    read_until([](const std::string& s) { return s.ends_with("\n"); });
    read_until([](const std::string& s) { return !s.empty() && (s.back() & 0x80); });
    client_send_all(sock, frames.data(), frames.size());
    client_close(sock);
}

std::string hex_line(const std::string& bytes)
{
    std::string line;
    char code[4];
    for (char c : bytes) {
        std::snprintf(code, sizeof code, line.empty() ? "%02x" : " %02x", static_cast<unsigned char>(c));
        line += code;
    }
    return line + "\n";
}

TEST(QmclientStandIn, MarksBadCheckBytesShowsHexAndReportsALostConnection)
{
    std::string bad = "msg x \"\" bad";
    bad.push_back(static_cast<char>(0x81));
    std::string frames = make_frame("msg x \"\" good") + bad;
    for (bool hex : {false, true}) {
        std::uint16_t port = 0;
        socket_handle listener = client_listen_loopback(&port);
        ASSERT_NE(listener, INVALID_SOCKET_HANDLE);
        std::vector<std::string> args{"--listen", "me", "--settle", "0", "127.0.0.1", std::to_string(port)};
        if (hex)
            args.insert(args.begin(), "--hex");
        Tool tool(args);
        play_server(listener, frames);
        client_close(listener);
        EXPECT_EQ(tool.wait_exit(), 5);
        EXPECT_EQ(tool.err(), "qmclient: listening as me\nqmclient: connection lost\n");
        if (hex)
            EXPECT_EQ(tool.out(), hex_line(make_frame("msg x \"\" good")) + "[bad check byte] " + hex_line(bad));
        else
            EXPECT_EQ(tool.out(), "msg x \"\" good\n[bad check byte] msg x \"\" bad\n");
    }
}

TEST(QmclientNames, ReachesAnIpv6AddressAndSaysWhenANameDoesNotResolve)
{
    Tool nowhere({"--send", "msg a \"\" x", "no-such-host.invalid", "1"});
    EXPECT_EQ(nowhere.wait_exit(), 3);
    EXPECT_EQ(nowhere.err().rfind("qmclient: cannot resolve no-such-host.invalid: ", 0), 0u) << nowhere.err();

    std::uint16_t port = 0;
    socket_handle listener = client_listen_on("::1", &port);
    if (listener == INVALID_SOCKET_HANDLE)
        GTEST_SKIP() << "no IPv6 loopback here";
    Tool tool({"--listen", "me", "--settle", "0", "::1", std::to_string(port)});
    play_server(listener, make_frame("msg x \"\" over six"));
    client_close(listener);
    EXPECT_EQ(tool.wait_exit(), 5);
    EXPECT_EQ(tool.out(), "msg x \"\" over six\n");
}

// Against an independent TLS server: `openssl s_server` plays the prompts
// and prints what it receives.
TEST(QmclientTls, SendsThroughTlsToAServerItsCaVouchesForAndRefusesOneItDoesNot)
{
    if (!tls_available())
        GTEST_SKIP() << tls_unavailable_reason();
    if (std::system("openssl version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no openssl command here";
    ScratchDirectory dir;
    std::string cert = (dir.path() / "cert.pem").string(), key = (dir.path() / "key.pem").string();
    ASSERT_EQ(std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1"
                           " -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1"
                           " -keyout " + key + " -out " + cert + " 2>/dev/null").c_str()),
              0);
    std::string port = std::to_string(client_free_port());
    // The prompts wait in the pipe for the first connection; the pipe stays
    // open so that the server does not take its end for a quit.
    ToolProcess server("/bin/sh", {"-c", "(printf 'login:password:'; sleep 3) | openssl s_server -accept 127.0.0.1:" +
                                             port + " -cert " + cert + " -key " + key + " -naccept 2"});
    for (int i = 0; i < 500 && server.out().find("ACCEPT") == std::string::npos; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_NE(server.out().find("ACCEPT"), std::string::npos) << server.err();

    std::string frame = make_frame("msg a \"\" over tls");
    Tool vouched({"--tls", "--ca", cert, "--send", "msg a \"\" over tls", "127.0.0.1", port});
    EXPECT_EQ(vouched.wait_exit(), 0) << vouched.err();
    EXPECT_NE(server.out().find("team\r\ns3cret\r\n" + frame), std::string::npos) << server.out();

    Tool unknown({"--tls", "--send", "msg a \"\" x", "127.0.0.1", port});
    EXPECT_EQ(unknown.wait_exit(), 3);
    EXPECT_EQ(unknown.err(), "qmclient: cannot reach 127.0.0.1:" + port +
                                 ": TLS handshake failed: certificate verify failed: self-signed certificate\n");
}

} // namespace

// A full server greets a newcomer only when a slot frees: the wait is the
// operator's to choose, and its end says why the prompt may not have come.
TEST(QmclientFullServerE2E, APromptThatDoesNotComeSaysTheServerMayBeFull)
{
    const std::uint16_t port = ServerProcess::free_port();
    ServerProcess server({"--max-clients", "1", std::to_string(port), "team", "s3cret"});
    TestClient holder(port);
    ASSERT_TRUE(holder.login("team", "s3cret"));
    const auto started = std::chrono::steady_clock::now();
    Tool tool({"--prompt-wait", "1", "--send", "x", "127.0.0.1", std::to_string(port)});
    EXPECT_EQ(tool.wait_exit(), 5);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_NE(tool.err().find("within 1 s: it may be full"), std::string::npos) << tool.err();
}
