// The server's listeners: chosen addresses, IPv6 peers, and a TLS port
// beside the plain one.
#include "platform/client.h"
#include "platform/tls.h"
#include "tests/support/e2e_helpers.h"
#include "tests/support/tool_process.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

namespace {

// One logged-in client over a raw socket to any address, IPv6 included.
struct RawClient {
    RawClient(const char* host, std::uint16_t port) : sock(client_connect(host, port)) {}
    ~RawClient()
    {
        tls_connection_free(tls);
        if (sock != INVALID_SOCKET_HANDLE)
            client_close(sock);
    }
    void send(const std::string& bytes)
    {
        if (tls)
            client_tls_send_all(sock, tls, bytes.data(), bytes.size());
        else
            client_send_all(sock, bytes.data(), bytes.size());
    }
    std::string read_exact(std::size_t count, int timeout_ms = 5000)
    {
        std::string got;
        char buffer[4096];
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            std::size_t want = std::min(sizeof buffer, count - got.size());
            int n = tls ? client_tls_recv(sock, tls, buffer, want, 100) : client_recv(sock, buffer, want, 100);
            if (n == 0 || n == -1)
                break;
            if (n > 0)
                got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }
    bool login()
    {
        if (read_exact(6) != "login:")
            return false;
        send(std::string(E2E_LOGIN) + "\r\n");
        if (read_exact(9) != "password:")
            return false;
        send(std::string(E2E_PASSWORD) + "\r\n");
        return true;
    }
    socket_handle sock;
    TlsConnection* tls = nullptr;
};

bool have_openssl_cli()
{
    return std::system("openssl version >/dev/null 2>&1") == 0;
}

// A self-signed certificate for localhost and 127.0.0.1 under name in dir.
void make_certificate(const ScratchDirectory& dir, const std::string& name)
{
    std::string base = (dir.path() / name).string();
    std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1"
                          " -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1"
                          " -keyout " + base + ".key -out " + base + ".crt 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
}

TEST(BindE2E, ListensOnExactlyTheGivenAddressesAndNamesIpv6PeersByTheirAddress)
{
    std::uint16_t probe_port = 0;
    socket_handle probe = client_listen_on("::1", &probe_port);
    if (probe == INVALID_SOCKET_HANDLE)
        GTEST_SKIP() << "no IPv6 loopback here";
    client_close(probe);
    RunningServer server({"--numeric", "--bind", "127.0.0.1", "--bind", "::1"}, {E2E_LOGIN, E2E_PASSWORD});
    auto four = server.join();
    server.announce(*four, "four");

    socket_handle elsewhere = client_connect("127.0.0.2", server.port);
    EXPECT_EQ(elsewhere, INVALID_SOCKET_HANDLE) << "127.0.0.2 is not a bound address";
    if (elsewhere != INVALID_SOCKET_HANDLE)
        client_close(elsewhere);

    RawClient six("::1", server.port);
    ASSERT_NE(six.sock, INVALID_SOCKET_HANDLE);
    ASSERT_TRUE(six.login());
    ASSERT_TRUE(server.process.wait_for_log("logged in: [::1]")) << server.process.log_text();
    six.send(make_frame("announce \"six\" -"));
    ASSERT_TRUE(server.process.wait_for_log("from [::1]: announce"));
    std::string to_four = make_frame("msg six \"four\" hello"), to_six = make_frame("msg four \"six\" back");
    six.send(to_four);
    EXPECT_EQ(four->read_exact(to_four.size()), to_four);
    four->send(to_six);
    EXPECT_EQ(six.read_exact(to_six.size()), to_six);
    EXPECT_NE(server.process.log_text().find("Connected to: [::1]\n"), std::string::npos);
}

TEST(BindE2E, AnAddressThatCannotBeBoundEndsTheStartAsTheClassicBindDoes)
{
    // 192.0.2.1 (documentation only) is no address of this host.
    std::string port = std::to_string(ServerProcess::free_port());
    ServerProcess server({"--bind", "192.0.2.1", port, "a", "b"});
    EXPECT_EQ(server.wait_exit(10000), 1);
    EXPECT_EQ(server.stderr_text().rfind("bind: ", 0), 0u) << server.stderr_text();
    std::string log = server.log_text();
    std::size_t said = log.find("srv: cannot listen: bind 192.0.2.1:" + port + ": ");
    EXPECT_NE(said, std::string::npos) << log;
    EXPECT_NE(log.find("srv: stopping server\n", said), std::string::npos) << log;
}

TEST(StartE2E, AnAddressOrACertificateThatIsNoneEndsTheStartWithTheReason)
{
    std::string port = std::to_string(ServerProcess::free_port());
    ServerProcess not_an_address({"--bind", "localhost", port, "a", "b"});
    EXPECT_EQ(not_an_address.wait_exit(10000), 2);
    EXPECT_EQ(not_an_address.stderr_text(), "QuillmarshSrv: --bind: 'localhost' is not an IPv4 or IPv6 address\n");
    ServerProcess no_certificate({"--tls-port", "1", "--tls-cert", "missing.crt", "--tls-key", "missing.key", port, "a", "b"});
    EXPECT_EQ(no_certificate.wait_exit(10000), 2);
    // The server's build decides, not the test's: the Windows one has no TLS.
    const bool server_has_tls = tls_available() && !server_runs_under_wine();
    std::string expected = server_has_tls ? "QuillmarshSrv: --tls-port: cannot load certificate missing.crt: "
                                          : "QuillmarshSrv: --tls-port: this build has no TLS\n";
    EXPECT_EQ(no_certificate.stderr_text().rfind(expected, 0), 0u) << no_certificate.stderr_text();
    ServerProcess not_a_proxy({"--ws-port", "1", "--ws-trusted-proxy", "proxy.example", port, "a", "b"});
    EXPECT_EQ(not_a_proxy.wait_exit(10000), 2);
    EXPECT_EQ(not_a_proxy.stderr_text(),
              "QuillmarshSrv: --ws-trusted-proxy: 'proxy.example' is not an IPv4 or IPv6 address\n");
}

struct TlsE2E : ::testing::Test {
    void SetUp() override
    {
        if (!tls_available())
            GTEST_SKIP() << tls_unavailable_reason();
        if (server_runs_under_wine())
            GTEST_SKIP() << "the Windows build has no TLS";
        if (!have_openssl_cli())
            GTEST_SKIP() << "no openssl command here to make certificates";
        make_certificate(certs, "first");
        make_certificate(certs, "second");
        std::filesystem::copy_file(certs.path() / "first.crt", certs.path() / "server.crt");
        std::filesystem::copy_file(certs.path() / "first.key", certs.path() / "server.key");
        std::string error;
        context = tls_client_context("", false, &error);
        ASSERT_NE(context, nullptr) << error;
        server = std::make_unique<RunningServer>(
            std::vector<std::string>{"--numeric", "--tls-port", std::to_string(tls_port), "--tls-cert",
                                     file("server.crt"), "--tls-key", file("server.key")},
            std::vector<std::string>{E2E_LOGIN, E2E_PASSWORD});
        plain = server->join();
        server->announce(*plain, "plain");
    }
    void TearDown() override { tls_context_release(context); }
    std::string file(const std::string& name) const { return (certs.path() / name).string(); }

    // Connected and through the handshake, not yet logged in.
    std::unique_ptr<RawClient> tls_connect()
    {
        auto client = std::make_unique<RawClient>("127.0.0.1", tls_port);
        std::string error;
        client->tls = client_tls_start(context, client->sock, "127.0.0.1", 5000, &error);
        EXPECT_NE(client->tls, nullptr) << error;
        return client;
    }
    std::unique_ptr<RawClient> tls_join(const std::string& name)
    {
        auto client = tls_connect();
        EXPECT_TRUE(client->login());
        EXPECT_TRUE(server->process.wait_for_log("logged in: [127.0.0.1] tls", ++tls_logins));
        client->send(make_frame("announce \"" + name + "\" -"));
        EXPECT_TRUE(server->process.wait_for_log("[127.0.0.1] tls: announce \"" + name));
        return client;
    }

    ScratchDirectory certs;
    TlsContext* context = nullptr;
    std::uint16_t tls_port = ServerProcess::free_port();
    std::unique_ptr<RunningServer> server;
    std::unique_ptr<TestClient> plain;
    int tls_logins = 0;
};

TEST_F(TlsE2E, TlsAndPlainClientsExchangeFramesBothWaysAndToAll)
{
    auto secure = tls_join("secure");
    std::string to_plain = make_frame("msg secure \"plain\" hi"), to_secure = make_frame("msg plain \"secure\" ho");
    std::string to_all = make_frame("msg secure \"\" everyone");
    secure->send(to_plain);
    EXPECT_EQ(plain->read_exact(to_plain.size()), to_plain);
    plain->send(to_secure);
    EXPECT_EQ(secure->read_exact(to_secure.size()), to_secure);
    auto other = tls_join("other");
    secure->send(to_all);
    EXPECT_EQ(plain->read_exact(to_all.size()), to_all);
    EXPECT_EQ(other->read_exact(to_all.size()), to_all);
    // The log reads the decrypted bytes, in the same 255-byte blocks.
    EXPECT_NE(server->process.log_text().find("from [127.0.0.1] tls: msg secure \"plain\" hi"), std::string::npos);
}

TEST_F(TlsE2E, FiftyFramesOf4KbPassWholeEachWay)
{
    auto secure = tls_join("secure");
    // The largest frames there are: 4095 bytes, check byte included.
    auto frame_of = [](std::string head, char fill) {
        return make_frame(head + std::string(FRAME_MAX - 1 - head.size(), fill));
    };
    std::string out, in;
    for (int i = 0; i < 50; i++) {
        out += frame_of("msg secure \"plain\" " + std::to_string(i) + " ", static_cast<char>('a' + i % 26));
        in += frame_of("msg plain \"secure\" " + std::to_string(i) + " ", static_cast<char>('z' - i % 26));
    }
    std::thread writer([&] { secure->send(out); });
    EXPECT_TRUE(plain->read_exact(out.size(), 30000) == out);
    writer.join();
    std::thread back([&] { plain->send(in); });
    EXPECT_TRUE(secure->read_exact(in.size(), 30000) == in);
    back.join();
}

TEST_F(TlsE2E, Tls11IsRefused)
{
    std::string command = "openssl s_client -tls1_1 -connect 127.0.0.1:" + std::to_string(tls_port) +
                          " </dev/null >/dev/null 2>&1";
    EXPECT_NE(std::system(command.c_str()), 0);
    EXPECT_TRUE(server->process.wait_for_log("tls handshake failed: ")) << server->process.log_text();
}

TEST_F(TlsE2E, ReloadSwapsTheCertificateForNewConnectionsWhileAnOldSessionGoesOn)
{
    auto old = tls_join("old");
    std::string before = tls_peer_fingerprint(old->tls);
    std::filesystem::copy_file(certs.path() / "first.key", certs.path() / "server.key",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(certs.path() / "second.crt", certs.path() / "server.crt",
                               std::filesystem::copy_options::overwrite_existing);
    server->process.send_signal(SIGHUP);
    ASSERT_TRUE(server->process.wait_for_log("srv: TLS certificate kept: key "));
    EXPECT_EQ(tls_peer_fingerprint(tls_connect()->tls), before) << "a pair that does not match is not taken";

    std::filesystem::copy_file(certs.path() / "second.key", certs.path() / "server.key",
                               std::filesystem::copy_options::overwrite_existing);
    server->process.send_signal(SIGHUP);
    ASSERT_TRUE(server->process.wait_for_log("srv: TLS certificate reloaded"));
    auto fresh = tls_connect();
    EXPECT_NE(tls_peer_fingerprint(fresh->tls), before);
    std::string frame = make_frame("msg old \"plain\" still here");
    old->send(frame);
    EXPECT_EQ(plain->read_exact(frame.size()), frame);
}

TEST_F(TlsE2E, AClientStuckMidHandshakeDelaysNoRelay)
{
    RawClient stuck("127.0.0.1", tls_port);
    stuck.send(std::string("\x16\x03\x01\x02\x00\x01", 6)); // a ClientHello's first bytes, no more
    auto secure = tls_join("secure");
    auto start = std::chrono::steady_clock::now();
    std::string frame = make_frame("msg secure \"plain\" past the stuck one");
    secure->send(frame);
    EXPECT_EQ(plain->read_exact(frame.size(), 1000), frame);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

TEST_F(TlsE2E, AStreamEndedWithoutTheClosingAlertIsALogOutAsOnThePlainPort)
{
    auto secure = tls_join("secure");
    ASSERT_EQ(client_shutdown_send(secure->sock), 0);
    EXPECT_TRUE(server->process.wait_for_log("logged out: [127.0.0.1] tls")) << server->process.log_text();
    EXPECT_EQ(server->process.log_text().find("error 10054"), std::string::npos) << server->process.log_text();
}

TEST_F(TlsE2E, QmclientSaysWhichProtocolThePortSpeaks)
{
    std::vector<std::pair<std::string, std::string>> account{{"QM_LOGIN", E2E_LOGIN}, {"QM_PASSWORD", E2E_PASSWORD}};
    auto start = std::chrono::steady_clock::now();
    ToolProcess plain_to_tls(QM_CLIENT_BINARY, {"--send", "n a \"\" x", "127.0.0.1", std::to_string(tls_port)},
                             account);
    ToolProcess tls_to_plain(QM_CLIENT_BINARY, {"--tls", "--ca", file("server.crt"), "--send", "n a \"\" x",
                                                "127.0.0.1", std::to_string(server->port)},
                             account);
    EXPECT_EQ(plain_to_tls.wait_exit(), 3);
    EXPECT_EQ(plain_to_tls.err(), "qmclient: the port speaks TLS: add --tls\n");
    EXPECT_EQ(tls_to_plain.wait_exit(), 3);
    EXPECT_EQ(tls_to_plain.err(), "qmclient: the port speaks plain TCP: leave out --tls\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8))
        << "told well before the prompt's 10 s";
}

TEST_F(TlsE2E, QmclientSendsAndListensThroughTls)
{
    std::vector<std::pair<std::string, std::string>> account{{"QM_LOGIN", E2E_LOGIN}, {"QM_PASSWORD", E2E_PASSWORD}};
    std::string port = std::to_string(tls_port);
    ToolProcess listener(QM_CLIENT_BINARY, {"--tls", "--ca", file("server.crt"), "--listen", "listener", "--count",
                                            "1", "127.0.0.1", port}, account);
    ASSERT_TRUE(server->process.wait_for_log("tls: hello \"listener\"")) << server->process.log_text();
    ToolProcess sender(QM_CLIENT_BINARY, {"--tls", "--ca", file("server.crt"), "--send",
                                          "msg sender \"listener\" through tls", "127.0.0.1", port}, account);
    EXPECT_EQ(sender.wait_exit(), 0) << sender.err();
    EXPECT_EQ(listener.wait_exit(), 0) << listener.err();
    EXPECT_EQ(listener.out(), "msg sender \"listener\" through tls\n");
}

} // namespace
