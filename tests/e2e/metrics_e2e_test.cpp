// The operator's view: the metrics port's documents against a scripted
// exchange, its refusals, its bounds, and the service manager's messages.
#include "platform/service_notify.h"
#include "protocol/http_request.h"
#include "tests/support/e2e_helpers.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

struct MetricsServer {
    MetricsServer()
        : metrics_port(ServerProcess::free_port()),
          server({"--metrics", "127.0.0.1:" + std::to_string(metrics_port)}, {E2E_LOGIN, E2E_PASSWORD})
    {
    }
    std::uint16_t metrics_port;
    RunningServer server;

    // The whole response to one request: the server closes after it.
    std::string ask(const std::string& request) const
    {
        TestClient client(metrics_port);
        client.send(request);
        return client.read_exact(1 << 20, 5000);
    }
    std::string get(const std::string& path) const { return ask("GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n"); }
};

std::string body_of(const std::string& response)
{
    std::size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? "" : response.substr(end + 4);
}

// The value of the sample named exactly so ("name" or "name{label=\"v\"}").
std::string sample(const std::string& exposition, const std::string& name)
{
    std::size_t at = exposition.find("\n" + name + " ");
    if (at == std::string::npos)
        return "missing";
    at += name.size() + 2;
    return exposition.substr(at, exposition.find('\n', at) - at);
}

TEST(MetricsE2E, CountersFollowAScriptedExchange)
{
    MetricsServer m;
    auto a = m.server.join();
    auto b = m.server.join();
    auto c = m.server.join();
    TestClient refused(m.server.port);
    ASSERT_TRUE(refused.login(E2E_LOGIN, "wrong"));
    ASSERT_TRUE(refused.wait_closed());
    // Three announcements reach nobody; ten frames to all reach two each;
    // a frame with a wrong check byte is dropped; one addressed frame reaches
    // its one holder, and, sent last, shows that all before it were taken.
    m.server.announce(*a, "a");
    m.server.announce(*b, "b");
    m.server.announce(*c, "c");
    std::string to_all;
    for (int i = 0; i < 10; i++)
        to_all += make_frame("n a \"\" " + std::to_string(i));
    std::string bad = make_frame("n a \"b\" bad");
    bad.back() = static_cast<char>(bad.back() ^ 1);
    std::string last = make_frame("n a \"b\" last");
    a->send(to_all + bad + last);
    EXPECT_EQ(c->read_exact(to_all.size()), to_all);
    EXPECT_EQ(b->read_exact(to_all.size() + last.size()), to_all + last);

    std::string metrics = body_of(m.get("/metrics"));
    EXPECT_EQ(sample(metrics, "quillmarsh_connections_total"), "4");
    EXPECT_EQ(sample(metrics, "quillmarsh_logins_total{result=\"accepted\"}"), "3");
    EXPECT_EQ(sample(metrics, "quillmarsh_logins_total{result=\"refused\"}"), "1");
    EXPECT_EQ(sample(metrics, "quillmarsh_frames_received_total"), "14");
    EXPECT_EQ(sample(metrics, "quillmarsh_deliveries_total"), "21");
    EXPECT_EQ(sample(metrics, "quillmarsh_frames_dropped_total{reason=\"check_byte\"}"), "1");
    EXPECT_EQ(sample(metrics, "quillmarsh_disconnects_total{reason=\"refused\"}"), "1");
    EXPECT_EQ(sample(metrics, "quillmarsh_sessions{state=\"online\"}"), "3");
    EXPECT_EQ(sample(metrics, "quillmarsh_addresses"), "3");
    EXPECT_EQ(sample(metrics, "quillmarsh_build_info{version=\"" QM_VERSION "\"}"), "1");

#ifdef QM_PROMTOOL
    std::string path = (m.server.process.directory().path() / "exposition.txt").string();
    std::ofstream(path, std::ios::binary) << metrics;
    EXPECT_EQ(std::system((std::string(QM_PROMTOOL) + " check metrics < " + path).c_str()), 0) << metrics;
#endif

    // Two pages: the refused client (4) has gone.
    std::string first = body_of(m.get("/sessions?limit=2"));
    std::string rest = body_of(m.get("/sessions?from=3"));
    EXPECT_TRUE(first.ends_with("],\"next\":3}\n")) << first;
    EXPECT_TRUE(rest.ends_with("],\"next\":null}\n")) << rest;
    for (const char* name : {"a", "b", "c"})
        EXPECT_NE((first + rest).find(std::string("\"state\":\"online\",\"addresses\":[\"") + name +
                                      "\"],\"addresses_total\":1,"),
                  std::string::npos)
            << first << rest;
}

TEST(MetricsE2E, ARequestThatIsNotAScrapeIsRefusedWithItsStatus)
{
    MetricsServer m;
    EXPECT_EQ(m.get("/nothing").substr(0, 13), "HTTP/1.1 404 ");
    EXPECT_EQ(m.ask("POST /metrics HTTP/1.1\r\n\r\n").substr(0, 13), "HTTP/1.1 405 ");
    EXPECT_EQ(m.ask("hello\r\n\r\n").substr(0, 13), "HTTP/1.1 400 ");
    // Exactly one byte too many, so that the server reads all it was sent
    // and its close cannot reset the connection before the answer is read.
    std::string head = "GET /metrics HTTP/1.1\r\nX: ";
    EXPECT_EQ(m.ask(head + std::string(HTTP_HEAD_MAX + 1 - head.size(), 'x')).substr(0, 13), "HTTP/1.1 431 ");
    EXPECT_EQ(m.server.process.log_text().find("Connected to"), std::string::npos)
        << "scrapes are not sessions";
}

TEST(MetricsE2E, AScrapeIsAnsweredBesideFiftyStalledConnectionsWhichDelayNoRelay)
{
    MetricsServer m;
    auto a = m.server.join();
    auto b = m.server.join();
    std::vector<std::unique_ptr<TestClient>> stalled;
    for (int i = 0; i < 50; i++) {
        stalled.push_back(std::make_unique<TestClient>(m.metrics_port));
        stalled.back()->send("GET /metr");
    }
    auto start = std::chrono::steady_clock::now();
    std::string frame = make_frame("n a \"\" through");
    a->send(frame);
    EXPECT_EQ(b->read_exact(frame.size(), 2000), frame);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    // Each newcomer takes the slot of the one stalled longest.
    start = std::chrono::steady_clock::now();
    std::string metrics = m.get("/metrics");
    EXPECT_EQ(metrics.substr(0, 13), "HTTP/1.1 200 ") << metrics;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "within its deadline";
    std::string evictions = sample(body_of(metrics), "quillmarsh_http_evictions_total");
    EXPECT_GE(std::atoi(evictions.c_str()), 1) << evictions;
}

// The next datagram on fd, or "" when none comes within two seconds.
std::string next_message(int fd)
{
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, 2000) != 1)
        return "";
    char buffer[512];
    ssize_t size = recv(fd, buffer, sizeof buffer, 0);
    return size > 0 ? std::string(buffer, static_cast<std::size_t>(size)) : "";
}

TEST(MetricsE2E, TheServiceManagerHearsReadinessTheWatchdogAndTheStop)
{
    if (!service_notify_built_in())
        GTEST_SKIP() << "built without libsystemd: nothing is ever sent";
    if (server_runs_under_wine())
        GTEST_SKIP() << "no service manager on Windows";
    ScratchDirectory dir;
    std::string path = (dir.path() / "notify").string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    setenv("WATCHDOG_USEC", "400000", 1);
    {
        RunningServer server;
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        EXPECT_EQ(next_message(fd), "READY=1");
        EXPECT_EQ(next_message(fd), "WATCHDOG=1\nSTATUS=0 online, 0 frames/s");
        server.process.send_signal(SIGTERM);
        std::string message;
        while ((message = next_message(fd)).starts_with("WATCHDOG=1")) {
        }
        EXPECT_EQ(message, "STOPPING=1");
        EXPECT_EQ(server.process.wait_exit(5000), 0);
    }
    close(fd);
}

} // namespace
