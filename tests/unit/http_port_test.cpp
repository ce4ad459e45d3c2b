#include "switch/http_port.h"

#include "switch/wait.h"
#include "switch/websocket_transport.h"
#include "tests/support/server_fixture.h"

#include <deque>
#include <string>
#include <vector>

namespace {

constexpr socket_handle METRICS_LISTENER = 4;

struct HttpPortTest : ServerFixture {
    void SetUp() override
    {
        ServerFixture::SetUp();
        ASSERT_TRUE(add_listener(server, METRICS_LISTENER, ListenerKind::metrics_http, &plain_transport()));
        net.accepting_listener = METRICS_LISTENER;
    }
    // A scrape accepted by a wait pass, its request sent.
    FakeSocket& scrape(const std::string& request)
    {
        socket_handle sock = net.queue_connection();
        wait_pass(server);
        net.socket(sock).incoming = request;
        wait_pass(server);
        return net.socket(sock);
    }
    // The same, from a reader whose socket takes nothing.
    socket_handle scrape_never_read(const std::string& request)
    {
        socket_handle sock = net.queue_connection();
        wait_pass(server);
        net.socket(sock).send_plan = std::deque<int>(1000, -WSAEWOULDBLOCK);
        net.socket(sock).incoming = request;
        wait_pass(server);
        return sock;
    }
    // The whole answer, its socket taking a few KB a call.
    std::string scrape_slowly(const std::string& request)
    {
        socket_handle sock = net.queue_connection();
        wait_pass(server);
        net.socket(sock).send_plan = std::deque<int>(100000, 3000);
        net.socket(sock).incoming = request;
        for (int turn = 0; turn < 100000 && !net.socket(sock).closed; turn++)
            wait_pass(server);
        return net.socket(sock).sent;
    }
};

TEST_F(HttpPortTest, HalfARequestHoldsItsConnectionUntilTheDeadlineOnly)
{
    FakeSocket& half = scrape("GET /metr");
    EXPECT_FALSE(half.closed);
    EXPECT_LE(net.last_timeout_us, HTTP_DEADLINE_MS * 1000) << "the deadline wakes the wait";
    net.now_ms += HTTP_DEADLINE_MS - 1;
    wait_pass(server);
    EXPECT_FALSE(half.closed);
    net.now_ms += 1;
    wait_pass(server);
    EXPECT_TRUE(half.closed);
    EXPECT_EQ(half.sent, "");
    EXPECT_TRUE(sessions().empty()) << "a scrape is never a session";
}

TEST_F(HttpPortTest, AnAnswerTheSocketTakesInPartsIsFinishedLaterOrDroppedAtTheDeadline)
{
    socket_handle slow = net.queue_connection();
    wait_pass(server);
    net.socket(slow).send_plan = {10};
    net.socket(slow).incoming = "GET /nothing HTTP/1.1\r\n\r\n";
    wait_pass(server);
    EXPECT_EQ(net.socket(slow).sent, "HTTP/1.1 4");
    EXPECT_FALSE(net.socket(slow).closed);
    wait_pass(server);
    EXPECT_EQ(net.socket(slow).sent, http_error_response(HttpStatus::not_found));
    EXPECT_TRUE(net.socket(slow).closed) << "closed once sent";

    socket_handle never_reads = net.queue_connection();
    wait_pass(server);
    net.socket(never_reads).send_plan = std::deque<int>(1000, -WSAEWOULDBLOCK);
    net.socket(never_reads).incoming = "GET /metrics HTTP/1.1\r\n\r\n";
    wait_pass(server);
    net.now_ms += HTTP_DEADLINE_MS;
    wait_pass(server);
    EXPECT_TRUE(net.socket(never_reads).closed);
    EXPECT_EQ(net.closed_while_watched, 0);
}

TEST_F(HttpPortTest, AFullTableClosesItsLongestStalledConnectionForANewcomerAndIsBusyOnlyWhenNoneIsStalled)
{
    socket_handle answering = scrape_never_read("GET /metrics HTTP/1.1\r\n\r\n");
    std::vector<socket_handle> stalled;
    while (stalled.size() + 1 < MAX_HTTP_CONNECTIONS) {
        net.now_ms += 10;
        stalled.push_back(net.queue_connection());
        wait_pass(server);
    }
    net.now_ms += 10;
    FakeSocket& newcomer = scrape("GET /nothing HTTP/1.1\r\n\r\n");
    EXPECT_EQ(newcomer.sent, http_error_response(HttpStatus::not_found)) << "answered in its own time";
    EXPECT_TRUE(net.socket(stalled[0]).closed) << "the longest stalled";
    EXPECT_EQ(net.socket(stalled[0]).sent, "");
    for (std::size_t i = 1; i < stalled.size(); i++)
        EXPECT_FALSE(net.socket(stalled[i]).closed);
    EXPECT_FALSE(net.socket(answering).closed) << "a whole request is never made room of";

    for (std::size_t i = 0; i < stalled.size(); i++)
        scrape_never_read("GET /metrics HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(net.socket(stalled.back()).closed);
    socket_handle extra = net.queue_connection();
    wait_pass(server);
    EXPECT_EQ(net.socket(extra).sent, http_error_response(HttpStatus::service_unavailable));
    EXPECT_TRUE(net.socket(extra).closed);
    EXPECT_NE(metrics_document(server).find("\nquillmarsh_http_evictions_total 15\n"), std::string::npos);
}

// As every bound on sources: one host usually holds a whole IPv6 /64.
TEST_F(HttpPortTest, TheWebPortsShareOfRequestsCountsAnIpv6SourceByItsSlash64)
{
    constexpr socket_handle WEB_LISTENER = 5;
    ASSERT_TRUE(add_listener(server, WEB_LISTENER, ListenerKind::web, &websocket_transport()));
    net.accepting_listener = WEB_LISTENER;
    server.max_dialogues_per_address = 2;
    std::vector<socket_handle> requests;
    for (std::uint8_t host = 1; host <= 3; host++) {
        net.accept_peer = PeerAddress{{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, host}, 40000, true};
        requests.push_back(net.queue_connection());
        wait_pass(server);
    }
    EXPECT_FALSE(net.socket(requests[0]).closed);
    EXPECT_FALSE(net.socket(requests[1]).closed);
    EXPECT_TRUE(net.socket(requests[2]).closed) << "a third address of the /64 is past its share";
}

TEST_F(HttpPortTest, SessionsComeInBoundedPiecesAndPagesWithTheirNewestAddresses)
{
    // Three sessions of 200 addresses each, 255 bytes that show as 5 each.
    for (int holder = 0; holder < 3; holder++) {
        Session* s = add_session();
        for (int i = 0; i < 200; i++)
            announce_address(server.registry, *s, std::to_string(i) + "." + std::string(250, '\x01'), net.now);
    }
    const std::size_t entry_most = 90 * 1024;
    socket_handle stuck = scrape_never_read("GET /sessions?limit=1000 HTTP/1.1\r\n\r\n");
    for (int turn = 0; turn < 10; turn++)
        wait_pass(server);
    EXPECT_LE(net.socket(stuck).largest_offer, SESSIONS_PIECE_BYTES + entry_most)
        << "a reader that never reads is offered a piece at a time";

    std::string whole = scrape_slowly("GET /sessions HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(whole.starts_with(http_response_head(HttpStatus::ok, SESSIONS_CONTENT_TYPE, std::nullopt)))
        << whole.substr(0, 200);
    EXPECT_TRUE(whole.ends_with("\n],\"next\":null}\n"));
    std::size_t entries = 0;
    for (std::size_t at = 0; (at = whole.find("\"addresses_total\":200,", at)) != std::string::npos; at++)
        entries++;
    EXPECT_EQ(entries, 3u);
    EXPECT_NE(whole.find("[\"136."), std::string::npos) << "the 64 newest, oldest first";
    EXPECT_EQ(whole.find("\"135."), std::string::npos);

    std::string first = scrape_slowly("GET /sessions?limit=2 HTTP/1.1\r\n\r\n");
    EXPECT_NE(first.find("{\"id\":2,"), std::string::npos);
    EXPECT_EQ(first.find("{\"id\":3,"), std::string::npos);
    EXPECT_TRUE(first.ends_with("],\"next\":3}\n"));
    std::string rest = scrape_slowly("GET /sessions?from=3&limit=2 HTTP/1.1\r\n\r\n");
    EXPECT_NE(rest.find("\n{\"id\":3,"), std::string::npos);
    EXPECT_TRUE(rest.ends_with("],\"next\":null}\n"));
    for (const char* query : {"limit=0", "from=-1", "from=1&size=2", "limit=", "from", "limit=1x"})
        EXPECT_EQ(scrape(std::string("GET /sessions?") + query + " HTTP/1.1\r\n\r\n").sent,
                  http_error_response(HttpStatus::bad_request))
            << query;
}

TEST_F(HttpPortTest, HeadIsAnsweredAsGetWithoutTheBody)
{
    std::string metrics = scrape("HEAD /metrics HTTP/1.1\r\n\r\n").sent;
    std::string body = metrics_document(server);
    EXPECT_EQ(metrics, http_response(HttpStatus::ok, METRICS_CONTENT_TYPE, body, true));
    EXPECT_NE(metrics.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
    add_session();
    EXPECT_EQ(scrape("HEAD /sessions HTTP/1.1\r\n\r\n").sent,
              http_response_head(HttpStatus::ok, SESSIONS_CONTENT_TYPE, std::nullopt));
    EXPECT_EQ(scrape("HEAD /nothing HTTP/1.1\r\n\r\n").sent, http_error_response(HttpStatus::not_found, true));
}

} // namespace
