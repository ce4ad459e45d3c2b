// Several switches as one network through a real nats-server: frames across
// nodes, broadcast, order, addresses that move, nodes and NATS that go, two
// clusters on one NATS, routes between two NATS servers, and a flood.
#include "platform/cluster_link.h"
#include "tests/support/cluster_node.h"
#include "tests/support/test_certificate.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A node, with the dropped frames of one reason.
struct Node : ClusterNode {
    using ClusterNode::ClusterNode;
    long dropped(const std::string& reason) const
    {
        return metric("quillmarsh_cluster_frames_dropped_total{reason=\"" + reason + "\"}");
    }
};

std::string to(const std::string& source, const std::string& destination, const std::string& text)
{
    return make_frame("m " + source + " \"" + destination + "\" " + text);
}

#define SKIP_WITHOUT_A_CLUSTER(nats)                                                               \
    if (server_runs_under_wine())                                                                  \
        GTEST_SKIP() << "the Windows build has no NATS client";                                    \
    if (!cluster_link_available())                                                                 \
        GTEST_SKIP() << cluster_link_unavailable_reason();                                         \
    if (!(nats).running())                                                                         \
    GTEST_SKIP() << (nats).why()

struct Nats {
    Nats()
    {
        NatsServer::Options options;
        options.monitoring = true;
        server = std::make_unique<NatsServer>(options);
        baseline = server->subscriptions();
    }
    std::unique_ptr<NatsServer> server;
    long baseline = 0;
};

// One sender on node a sends frames to an address held on node b, mixed
// with frames to all: the holder gets all of them in order, a client of
// node c gets each frame to all once, in order, and so does a client of
// the sender's own node.
TEST(ClusterE2E, FramesCrossNodesOnceAndInOrderOnEveryNode)
{
    Nats nats;
    SKIP_WITHOUT_A_CLUSTER(*nats.server);
    Node a(nats.server->url(), "a");
    Node b(nats.server->url(), "b");
    Node c(nats.server->url(), "c");
    auto sender = a.server.join();
    auto local = a.server.join();
    auto holder = b.server.join();
    auto other = c.server.join();
    a.server.announce(*sender, "s");
    b.server.announce(*holder, "x");
    ASSERT_TRUE(wait_for_interest(*nats.server, nats.baseline, {&a, &b, &c}));

    std::string sent, to_all;
    for (int i = 0; i < 300; i++) {
        const std::string frame = to("s", i % 3 == 0 ? "" : "x", std::to_string(i));
        sent += frame;
        if (i % 3 == 0)
            to_all += frame;
    }
    sender->send(sent);
    EXPECT_EQ(holder->read_exact(sent.size(), 10000), sent);
    EXPECT_EQ(other->read_exact(to_all.size(), 10000), to_all);
    EXPECT_EQ(local->read_exact(to_all.size(), 10000), to_all);
    for (TestClient* client : {holder.get(), other.get(), local.get(), sender.get()})
        EXPECT_EQ(client->read_until_quiet(300), "") << "nothing twice, nothing back to the sender";
    EXPECT_EQ(a.metric("quillmarsh_cluster_frames_published_total"), 301);
    EXPECT_EQ(b.metric("quillmarsh_cluster_frames_received_total"), 300);
    EXPECT_EQ(c.metric("quillmarsh_cluster_frames_received_total"), 100);
}

// A client that announces a fresh address in every frame drives its node
// past the subscribes it may make in a burst: the node takes the wildcard,
// and a frame to an address it had subscribed to before still comes once.
TEST(ClusterE2E, PastItsBoundANodeTakesTheWildcardAndStillGetsEachFrameOnce)
{
    Nats nats;
    SKIP_WITHOUT_A_CLUSTER(*nats.server);
    Node a(nats.server->url(), "a");
    Node b(nats.server->url(), "b");
    auto sender = a.server.join();
    auto holder = b.server.join();
    b.server.announce(*holder, "x");
    std::string fresh;
    for (int i = 0; i < 1100; i++)
        fresh += make_frame("n f" + std::to_string(i) + " -");
    holder->send(fresh);
    ASSERT_TRUE(b.server.process.wait_for_log("srv: cluster subscriptions at their bound: taking every addressed frame"));
    EXPECT_EQ(b.metric("quillmarsh_cluster_wildcard"), 1);
    ASSERT_TRUE(wait_for_interest(*nats.server, nats.baseline, {&a, &b}));
    const std::string frames = to("s", "x", "subscribed before") + to("s", "f1099", "through the wildcard");
    sender->send(frames);
    EXPECT_EQ(holder->read_exact(frames.size()), frames);
    EXPECT_EQ(holder->read_until_quiet(300), "") << "once, not once per subscription";
}

// An address's frames follow it from one node to another: the node it
// left takes none of them any more.
TEST(ClusterE2E, AnAddressThatMovesTakesItsFramesWithIt)
{
    Nats nats;
    SKIP_WITHOUT_A_CLUSTER(*nats.server);
    Node a(nats.server->url(), "a");
    Node b(nats.server->url(), "b");
    Node c(nats.server->url(), "c");
    auto sender = a.server.join();
    auto first = b.server.join();
    b.server.announce(*first, "x");
    ASSERT_TRUE(wait_for_interest(*nats.server, nats.baseline, {&a, &b, &c}));
    sender->send(to("s", "x", "one"));
    EXPECT_EQ(first->read_exact(to("s", "x", "one").size()), to("s", "x", "one"));

    first.reset();
    ASSERT_TRUE(b.server.process.wait_for_log("logged out: "));
    auto second = c.server.join();
    c.server.announce(*second, "x");
    ASSERT_TRUE(wait_for_interest(*nats.server, nats.baseline, {&a, &b, &c}));
    EXPECT_EQ(b.subscriptions(), 1) << "only all";
    sender->send(to("s", "x", "two"));
    EXPECT_EQ(second->read_exact(to("s", "x", "two").size()), to("s", "x", "two"));
    EXPECT_EQ(b.metric("quillmarsh_cluster_frames_received_total"), 1);
}

// A node that dies: NATS drops its subscriptions, and the others go on.
TEST(ClusterE2E, ANodeThatStopsLeavesNoInterestBehind)
{
    Nats nats;
    SKIP_WITHOUT_A_CLUSTER(*nats.server);
    Node a(nats.server->url(), "a");
    auto b = std::make_unique<Node>(nats.server->url(), "b");
    Node c(nats.server->url(), "c");
    auto sender = a.server.join();
    auto gone = b->server.join();
    auto stays = c.server.join();
    b->server.announce(*gone, "x");
    c.server.announce(*stays, "x");
    ASSERT_TRUE(wait_for_interest(*nats.server, nats.baseline, {&a, b.get(), &c}));
    b->server.process.send_signal(SIGKILL);
    ASSERT_EQ(b->server.process.wait_exit(5000), 128 + SIGKILL);
    b.reset();
    ASSERT_TRUE(wait_for_interest(*nats.server, nats.baseline, {&a, &c}));
    sender->send(to("s", "x", "after"));
    EXPECT_EQ(stays->read_exact(to("s", "x", "after").size()), to("s", "x", "after"));
}

// NATS killed: both nodes say so, the sender's node drops what its buffer
// cannot hold and counts every drop; NATS back: both say so, and frames
// flow again.
TEST(ClusterE2E, NatsKilledAndRestartedIsSaidAndCountedAndTrafficFlowsAgain)
{
    Nats nats;
    SKIP_WITHOUT_A_CLUSTER(*nats.server);
    Node a(nats.server->url(), "a", {"--cluster-buffer", "8192"});
    Node b(nats.server->url(), "b");
    auto sender = a.server.join();
    auto holder = b.server.join();
    b.server.announce(*holder, "x");
    ASSERT_TRUE(wait_for_interest(*nats.server, nats.baseline, {&a, &b}));

    nats.server->kill();
    ASSERT_TRUE(a.server.process.wait_for_log("srv: cluster link down: "));
    ASSERT_TRUE(b.server.process.wait_for_log("srv: cluster link down: "));
    const long published_before = a.metric("quillmarsh_cluster_frames_published_total");
    constexpr int SENT = 400;
    std::string outage;
    for (int i = 0; i < SENT; i++)
        outage += to("s", "x", "while down " + std::to_string(i) + std::string(40, '.'));
    sender->send(outage);
    ASSERT_TRUE(a.server.process.wait_for_log("srv: cluster dropping frames: buffer full"));
    // Every frame of the outage is either held for the link or dropped.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    long held = 0, dropped = 0;
    while (Clock::now() < deadline && held + dropped < SENT) {
        held = a.metric("quillmarsh_cluster_frames_published_total") - published_before;
        dropped = a.dropped("buffer");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(held + dropped, SENT);
    EXPECT_GT(held, 0);
    EXPECT_GT(dropped, 0);

    ASSERT_TRUE(nats.server->restart()) << nats.server->why();
    ASSERT_TRUE(a.server.process.wait_for_log("srv: cluster link up: ", 2));
    ASSERT_TRUE(b.server.process.wait_for_log("srv: cluster link up: ", 2));
    ASSERT_TRUE(wait_for_interest(*nats.server, nats.baseline, {&a, &b}));
    // What was held went out once the link was back, but only as far as
    // the holder's node was subscribed again by then: at most once.
    const std::string came = holder->read_until_quiet(500);
    EXPECT_LE(split_frames(came).size(), static_cast<std::size_t>(held));
    sender->send(to("s", "x", "back"));
    EXPECT_EQ(holder->read_exact(to("s", "x", "back").size()), to("s", "x", "back"));
    EXPECT_TRUE(a.server.process.wait_for_log("srv: cluster dropped " + std::to_string(dropped) +
                                              " frames: buffer full"));
    EXPECT_EQ(a.metric("quillmarsh_cluster_reconnects_total"), 1);
}

TEST(ClusterE2E, TwoClustersOnOneNatsAreKeptApartByName)
{
    Nats nats;
    SKIP_WITHOUT_A_CLUSTER(*nats.server);
    Node east_a(nats.server->url(), "a", {"--cluster-name", "east"});
    Node east_b(nats.server->url(), "b", {"--cluster-name", "east"});
    Node west(nats.server->url(), "w", {"--cluster-name", "west"});
    auto sender = east_a.server.join();
    auto east_holder = east_b.server.join();
    auto west_holder = west.server.join();
    east_b.server.announce(*east_holder, "x");
    west.server.announce(*west_holder, "x");
    ASSERT_TRUE(wait_for_interest(*nats.server, nats.baseline, {&east_a, &east_b, &west}));
    const std::string frames = to("s", "x", "direct") + to("s", "", "all");
    sender->send(frames);
    EXPECT_EQ(east_holder->read_exact(frames.size()), frames);
    EXPECT_EQ(west_holder->read_until_quiet(500), "");
}

// Two NATS servers joined by a route, a node on each.
TEST(ClusterE2E, NodesOnTwoRoutedNatsServersAreOneNetwork)
{
    NatsServer::Options first_options;
    first_options.cluster_name = "routed";
    first_options.monitoring = true;
    NatsServer first(first_options);
    SKIP_WITHOUT_A_CLUSTER(first);
    NatsServer::Options second_options = first_options;
    second_options.routes = {first.route_url()};
    NatsServer second(second_options);
    ASSERT_TRUE(second.running()) << second.why();
    const long first_baseline = first.subscriptions();
    const long second_baseline = second.subscriptions();
    Node a(first.url(), "a");
    Node b(second.url(), "b");
    auto sender = a.server.join();
    auto holder = b.server.join();
    auto local = a.server.join();
    b.server.announce(*holder, "x");
    a.server.announce(*local, "y");
    ASSERT_TRUE(wait_for_interest(first, first_baseline, {&a, &b}));
    ASSERT_TRUE(wait_for_interest(second, second_baseline, {&a, &b}));
    const std::string frames = to("s", "x", "across") + to("s", "", "everywhere");
    sender->send(frames);
    EXPECT_EQ(holder->read_exact(frames.size()), frames);
    EXPECT_EQ(local->read_exact(to("s", "", "everywhere").size()), to("s", "", "everywhere"));
    holder->send(to("x", "y", "back"));
    EXPECT_EQ(local->read_exact(to("x", "y", "back").size()), to("x", "y", "back"));
}

// Reads a client as fast as frames come, in a thread of its own, and keeps
// the highest number seen after "round" in its frames.
struct Drainer {
    explicit Drainer(TestClient& client)
        : thread([this, &client] {
              std::string window;
              while (!stop) {
                  window += client.read_exact(1 << 16, 20);
                  for (std::size_t at = window.find("round"); at != std::string::npos;
                       at = window.find("round", at + 1)) {
                      const std::size_t end = window.find_first_not_of("0123456789", at + 5);
                      if (end == std::string::npos)
                          break;
                      if (end > at + 5)
                          seen = std::max(seen.load(), std::stoi(window.substr(at + 5, end - at - 5)));
                  }
                  window.erase(0, window.size() > 32 ? window.size() - 32 : 0);
              }
          })
    {
    }
    ~Drainer()
    {
        stop = true;
        thread.join();
    }
    bool wait_for(int round) const
    {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (seen < round && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return seen >= round;
    }
    std::atomic<bool> stop = false;
    std::atomic<int> seen = -1;
    std::thread thread;
};

// A node flooded by another's frames to all still relays its own clients'
// frames between them, round trip after round trip.
TEST(ClusterE2E, AFloodFromOneNodeLeavesTheOthersLocalRelayServing)
{
    Nats nats;
    SKIP_WITHOUT_A_CLUSTER(*nats.server);
    Node a(nats.server->url(), "a");
    Node b(nats.server->url(), "b");
    auto flooder = a.server.join();
    auto ping = b.server.join();
    auto pong = b.server.join();
    b.server.announce(*ping, "ping");
    b.server.announce(*pong, "pong");
    ASSERT_TRUE(wait_for_interest(*nats.server, nats.baseline, {&a, &b}));
    std::atomic<bool> flooding = true;
    std::thread flood([&] {
        std::string burst;
        for (int i = 0; i < 100; i++)
            burst += to("f", "", std::string(200, 'f'));
        while (flooding)
            flooder->send(burst);
    });
    int round_trips = 0;
    {
        Drainer at_ping(*ping);
        Drainer at_pong(*pong);
        for (; round_trips < 50; round_trips++) {
            ping->send(to("ping", "pong", "round" + std::to_string(round_trips) + " "));
            if (!at_pong.wait_for(round_trips))
                break;
            pong->send(to("pong", "ping", "round" + std::to_string(round_trips) + " "));
            if (!at_ping.wait_for(round_trips))
                break;
        }
    }
    flooding = false;
    flood.join();
    EXPECT_EQ(round_trips, 50);
    EXPECT_GT(b.metric("quillmarsh_cluster_frames_received_total"), 0);
}

#ifdef QM_HAVE_OPENSSL
// TLS to NATS, its server's certificate signed by a CA of the operator's:
// trusted with --cluster-ca, refused without, and the log says why.
TEST(ClusterE2E, OverTlsTheServersCertificateIsCheckedAgainstTheCaGiven)
{
    ScratchDirectory certificates;
    const TlsServerFiles files = self_signed(certificates.path(), "nats");
    NatsServer::Options options;
    options.monitoring = true;
    options.tls_cert = files.cert;
    options.tls_key = files.key;
    NatsServer nats(options);
    SKIP_WITHOUT_A_CLUSTER(nats);
    const long baseline = nats.subscriptions();
    Node a(nats.url(), "a", {"--cluster-ca", files.cert});
    Node b(nats.url(), "b", {"--cluster-ca", files.cert});
    RunningServer untrusting({"--cluster", nats.url()}, {E2E_LOGIN, E2E_PASSWORD});
    auto sender = a.server.join();
    auto holder = b.server.join();
    b.server.announce(*holder, "x");
    ASSERT_TRUE(wait_for_interest(nats, baseline, {&a, &b}));
    sender->send(to("s", "x", "sealed"));
    EXPECT_EQ(holder->read_exact(to("s", "x", "sealed").size()), to("s", "x", "sealed"));
    EXPECT_TRUE(untrusting.process.wait_for_log("srv: cluster link down: SSL handshake error: ")) << untrusting.process.log_text();
    EXPECT_EQ(untrusting.process.log_text().find("cluster link up"), std::string::npos);
}
#endif

// Without a NATS client (the Windows build among them), --cluster is
// refused at start, with the reason; so are credentials that cannot be read.
TEST(ClusterE2E, ASwitchThatCannotJoinSaysWhyAndExitsWithTwo)
{
    const bool without_nats = server_runs_under_wine() || !cluster_link_available();
    ServerProcess refused({"--cluster", "nats://127.0.0.1:4222", "--cluster-creds", "missing.creds",
                           std::to_string(ServerProcess::free_port()), "a", "b"});
    EXPECT_EQ(refused.wait_exit(10000), 2);
    EXPECT_NE(refused.stderr_text().find(without_nats ? "no NATS client" : "missing.creds"), std::string::npos)
        << refused.stderr_text();
    EXPECT_EQ(refused.stdout_text(), "") << "said before the banner";
}

} // namespace
