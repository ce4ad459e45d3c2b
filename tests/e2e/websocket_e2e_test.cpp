// Browsers as clients: the WebSocket port beside the plain one, with
// python3-websockets as the browser's stand-in and, last, a real headless
// Chromium on the page itself. The clients are Python scripts beside this
// file; each test starts the server and runs one, which checks every byte.
#include "platform/tls.h"
#include "protocol/websocket.h"
#include "tests/support/e2e_helpers.h"
#include "tests/support/test_certificate.h"
#include "tests/support/tool_process.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

const std::string SCRIPTS = QM_SOURCE_DIR "/tests/e2e/";

struct WebSocketE2E : ::testing::Test {
    void SetUp() override
    {
        if (std::string(QM_WS_PYTHON).empty())
            GTEST_SKIP() << "no python3 with python3-websockets was found when the build was configured";
    }

    void start(std::vector<std::string> options, const char* port_option = "--ws-port")
    {
        options.insert(options.begin(), {"--numeric", port_option, std::to_string(ws_port)});
        server = std::make_unique<RunningServer>(options, std::vector<std::string>{E2E_LOGIN, E2E_PASSWORD});
        // The plain port answers once the server listens on every port.
        TestClient probe(server->port);
        ASSERT_TRUE(probe.connected());
    }

    // Runs a scenario of websocket_client.py; its own words on failure.
    void run(const std::string& scenario, std::vector<std::string> arguments = {})
    {
        std::vector<std::string> words = {SCRIPTS + "websocket_client.py", scenario, "--port",
                                          std::to_string(server->port), "--ws-port", std::to_string(ws_port),
                                          "--log", (server->process.directory().path() / "QuillmarshSrv.log.txt").string()};
        words.insert(words.end(), arguments.begin(), arguments.end());
        ToolProcess client(QM_WS_PYTHON, words);
        EXPECT_EQ(client.wait_exit(60000), 0) << client.err() << client.out();
    }

    std::uint16_t ws_port = ServerProcess::free_port();
    std::unique_ptr<RunningServer> server;
};

TEST_F(WebSocketE2E, BrowserAndTerminalExchangeFramesBothWaysAndToAll)
{
    start({});
    run("exchange");
    // The bytes of each message join the input as a TCP client's do.
    std::string log = server->process.log_text();
    EXPECT_NE(log.find("Connected to: [127.0.0.1] ws"), std::string::npos) << log;
    EXPECT_NE(log.find("from [127.0.0.1] ws: ********"), std::string::npos) << "the password masked";
    EXPECT_NE(log.find("from [127.0.0.1] ws: say \"web\" \"tcp\" from a browser"), std::string::npos) << log;
}

TEST_F(WebSocketE2E, TheSameInsideTls)
{
#ifdef QM_HAVE_OPENSSL
    if (server_runs_under_wine())
        GTEST_SKIP() << "the Windows build has no TLS";
    ScratchDirectory certs;
    TlsServerFiles files = self_signed(certs.path(), "server");
    start({"--tls-cert", files.cert, "--tls-key", files.key}, "--wss-port");
    run("exchange", {"--ca", files.cert});
    EXPECT_NE(server->process.log_text().find("Connected to: [127.0.0.1] wss"), std::string::npos);
#else
    GTEST_SKIP() << tls_unavailable_reason();
#endif
}

TEST_F(WebSocketE2E, AnOriginNotThePagesOwnIsRefusedUnlessAllowed)
{
    start({"--ws-origin", "https://*.example.org"});
    const std::string own = "http://127.0.0.1:" + std::to_string(ws_port);
    run("refused", {"--refused-origin", "http://evil.example", "--refused-origin",
                    "http://127.0.0.1:" + std::to_string(server->port), "--refused-origin", "https://example.org",
                    "--taken-origin", own, "--taken-origin", "https://chat.example.org"});
    EXPECT_EQ(server->process.log_text().find("ws: "), std::string::npos) << "refused before any session";
}

TEST_F(WebSocketE2E, AProxysForwardedAddressIsTakenFromATrustedProxyOnly)
{
    start({"--ws-trusted-proxy", "127.0.0.1"});
    run("forwarded", {"--source", "127.0.0.1", "--forwarded-for", "198.51.100.1, 192.0.2.7"});
    EXPECT_TRUE(server->process.wait_for_log("Connected to: [192.0.2.7] ws"));
    run("forwarded", {"--source", "127.0.0.2", "--forwarded-for", "192.0.2.8"});
    EXPECT_TRUE(server->process.wait_for_log("Connected to: [127.0.0.2] ws"));
    EXPECT_EQ(server->process.log_text().find("192.0.2.8"), std::string::npos);
}

TEST_F(WebSocketE2E, AMessageOverTheBoundIsClosedWith1009)
{
    start({});
    run("oversized");
    EXPECT_TRUE(server->process.wait_for_log("disconnected (websocket 1009: a message over 65536 bytes)"));
}

// The raw HTTP side, in C++: the page, and connections that have not
// upgraded, which hold no session's slot.
TEST_F(WebSocketE2E, ThePageIsServedAndRequestsHoldNoSessionSlot)
{
    start({"--max-clients", "1"});
    auto online = server->join();
    TestClient stalled(ws_port);
    stalled.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n");
    TestClient page(ws_port);
    page.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    std::string response = page.read_exact(1 << 20);
    EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n")) << response;
    EXPECT_NE(response.find("Content-Security-Policy: default-src 'self'"), std::string::npos) << response;
    EXPECT_NE(response.find("<script src=\"quillmarsh.js\""), std::string::npos);
    TestClient script(ws_port);
    script.send("GET /quillmarsh.js HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_TRUE(script.read_exact(1 << 20).starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/javascript"));
    TestClient icon(ws_port);
    icon.send("GET /favicon.ico HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_TRUE(icon.read_exact(1 << 20).starts_with("HTTP/1.1 404 "));
    EXPECT_EQ(server->process.log_text().find("ws"), std::string::npos) << "no session, no log line";
    // The stalled request is closed at its deadline.
    EXPECT_TRUE(stalled.wait_closed(10000));
}

// An opening request as a script sends it: no Origin.
std::string upgrade_request(std::uint16_t port)
{
    return "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

TEST_F(WebSocketE2E, AnAddressHoldsItsShareOfRequestsAndItsSessionsShareTheDialogues)
{
    start({"--max-dialogues-per-address", "1", "--max-clients", "2"});
    TestClient first(ws_port, 20000, 0, "127.0.0.2");
    first.send("GET / HTTP/1.1\r\n");
    TestClient second(ws_port, 20000, 0, "127.0.0.2");
    EXPECT_TRUE(second.wait_closed(3000)) << "a second request from the address is closed at once";

    // Two TCP clients of one source in their dialogue hold both served
    // slots; an upgrade from another source makes the newest give way, as a
    // TCP client from there would.
    TestClient a(server->port, 20000, 0, "127.0.0.3"), b(server->port, 20000, 0, "127.0.0.3");
    ASSERT_EQ(a.read_exact(6), "login:");
    ASSERT_EQ(b.read_exact(6), "login:");
    TestClient other(ws_port, 20000, 0, "127.0.0.4");
    other.send(upgrade_request(ws_port));
    EXPECT_TRUE(other.read_exact(12).starts_with("HTTP/1.1 101"));
    EXPECT_TRUE(b.wait_closed());
    EXPECT_TRUE(server->process.wait_for_log("disconnected (too many logins pending): [127.0.0.3]"));
}

// A client's frame, masked as a browser's.
std::string client_frame(WsOpcode opcode, std::string_view payload)
{
    const std::uint8_t mask[4] = {0x5a, 0x11, 0xe0, 0x07};
    char header[WS_HEADER_MAX];
    std::string body(payload);
    ws_mask(body.data(), body.size(), mask, 0);
    return std::string(header, ws_frame_header(header, opcode, body.size(), mask)) + body;
}

// Input, then the client's close or a fault, in one write: the input is
// taken, and the close or the fault ends the session at once, as itself.
TEST_F(WebSocketE2E, ACloseOrAFaultRightAfterInputEndsTheSessionAsItself)
{
    start({});
    const std::string opened = ws_accept_response("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", false) +
                               ws_server_frame(WsOpcode::binary, "login:");
    TestClient leaving(ws_port);
    leaving.send(upgrade_request(ws_port));
    ASSERT_EQ(leaving.read_exact(opened.size()), opened);
    // The login line earns a prompt, which may not follow the close.
    leaving.send(client_frame(WsOpcode::text, "alice\r\n") +
                 client_frame(WsOpcode::close, ws_close_payload(ws_close::NORMAL, "")));
    EXPECT_EQ(leaving.read_exact(4), ws_server_frame(WsOpcode::close, ws_close_payload(ws_close::NORMAL, "")));
    EXPECT_TRUE(leaving.wait_closed());
    EXPECT_TRUE(server->process.wait_for_log("logged out: [127.0.0.1] ws"));

    TestClient faulty(ws_port);
    faulty.send(upgrade_request(ws_port));
    ASSERT_EQ(faulty.read_exact(opened.size()), opened);
    faulty.send(client_frame(WsOpcode::binary, "say") + ws_server_frame(WsOpcode::binary, "unmasked"));
    EXPECT_EQ(faulty.read_exact(4),
              ws_server_frame(WsOpcode::close, ws_close_payload(ws_close::PROTOCOL_ERROR, "")));
    EXPECT_TRUE(faulty.wait_closed(10000)) << "not held until the client sends again";
    EXPECT_TRUE(server->process.wait_for_log("disconnected (websocket 1002: an unmasked frame)"));
    EXPECT_EQ(server->process.log_text().find("on send"), std::string::npos);
}

// A client should wait for the answer before it sends, but one that does
// not is served at once, not when it next sends.
TEST_F(WebSocketE2E, BytesSentWithTheOpeningRequestAreServedWithoutWaitingForMore)
{
    start({});
    TestClient eager(ws_port);
    eager.send(upgrade_request(ws_port) + client_frame(WsOpcode::ping, "early"));
    const std::string answered = ws_accept_response("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", false) +
                                 ws_server_frame(WsOpcode::binary, "login:") +
                                 ws_server_frame(WsOpcode::pong, "early");
    EXPECT_EQ(eager.read_exact(answered.size()), answered);
}

TEST(BrowserE2E, ThePageLogsInSendsAndShowsFramesInHeadlessChromium)
{
    if (std::string(QM_BROWSER_PYTHON).empty())
        GTEST_SKIP() << "no python3 with python3-selenium was found when the build was configured";
    if (std::string(QM_CHROMIUM).empty() || std::string(QM_CHROMEDRIVER).empty())
        GTEST_SKIP() << "no chromium and chromium-driver were found when the build was configured";
    std::uint16_t ws_port = ServerProcess::free_port();
    RunningServer server({"--numeric", "--ws-port", std::to_string(ws_port)}, {E2E_LOGIN, E2E_PASSWORD});
    TestClient probe(server.port);
    ASSERT_TRUE(probe.connected());
    probe.close();
    const std::string screenshot = QM_ARTIFACTS_DIR "/page.png";
    ToolProcess browser(QM_BROWSER_PYTHON,
                        {SCRIPTS + "browser_page.py", "--page", "http://127.0.0.1:" + std::to_string(ws_port) + "/",
                         "--port", std::to_string(server.port), "--log",
                         (server.process.directory().path() / "QuillmarshSrv.log.txt").string(), "--qmclient",
                         QM_CLIENT_BINARY, "--screenshot", screenshot, "--chromium", QM_CHROMIUM,
                         "--chromedriver", QM_CHROMEDRIVER});
    EXPECT_EQ(browser.wait_exit(110000), 0) << browser.err() << browser.out();
    EXPECT_TRUE(std::filesystem::exists(screenshot));
}

} // namespace
