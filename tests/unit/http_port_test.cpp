#include "switch/http_port.h"

#include "switch/wait.h"
#include "tests/support/server_fixture.h"

#include <deque>
#include <string>

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

TEST_F(HttpPortTest, BeyondTheTableAConnectionIsAnsweredBusyAndClosed)
{
    std::deque<socket_handle> held;
    for (std::size_t i = 0; i < MAX_HTTP_CONNECTIONS; i++) {
        held.push_back(net.queue_connection());
        wait_pass(server);
    }
    socket_handle extra = net.queue_connection();
    wait_pass(server);
    EXPECT_EQ(net.socket(extra).sent, http_error_response(HttpStatus::service_unavailable));
    EXPECT_TRUE(net.socket(extra).closed);
    for (socket_handle sock : held)
        EXPECT_FALSE(net.socket(sock).closed);
}

} // namespace
