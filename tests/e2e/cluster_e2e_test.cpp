// Several switches as one network through a real nats-server: frames across
// nodes, broadcast, order, the wildcard, addresses that move, nodes and NATS
// that go, two clusters on one NATS, a flood, TLS, and routes between two
// NATS servers.
#include "platform/client.h"
#include "platform/cluster_link.h"
#include "tests/support/cluster_node.h"
#include "tests/support/test_certificate.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
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

// Why the cluster cannot be tested here, or "".
std::string why_no_cluster()
{
    if (server_runs_under_wine())
        return "the Windows build has no NATS client";
    return cluster_link_available() ? "" : cluster_link_unavailable_reason();
}

// One NATS server of the test's own, and the switches joined through it.
class ClusterE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = why_no_cluster(); !why.empty())
            GTEST_SKIP() << why;
        nats = std::make_unique<NatsServer>(nats_options());
        if (!nats->running())
            GTEST_SKIP() << nats->why();
        baseline = nats->subscriptions();
    }
    virtual NatsServer::Options nats_options()
    {
        NatsServer::Options options;
        options.monitoring = true;
        return options;
    }
    Node& node(const std::string& name, const std::vector<std::string>& extra = {},
               LinkAtStart link = LinkAtStart::up)
    {
        nodes.push_back(std::make_unique<Node>(nats->url(), name, extra, link));
        return *nodes.back();
    }
    // Stops a node (it is killed, as a crash would) and forgets it.
    void kill(Node& gone)
    {
        gone.server.process.send_signal(SIGKILL);
        EXPECT_EQ(gone.server.process.wait_exit(5000), 128 + SIGKILL);
        std::erase_if(nodes, [&](const auto& n) { return n.get() == &gone; });
    }
    bool interest_settled() const
    {
        std::vector<const ClusterNode*> live;
        for (const auto& n : nodes)
            live.push_back(n.get());
        return wait_for_interest(*nats, baseline, live);
    }

    std::unique_ptr<NatsServer> nats;
    long baseline = 0;
    std::vector<std::unique_ptr<Node>> nodes;
};

// One sender on node a sends frames to an address held on node b, mixed
// with frames to all: the holder gets all of them in order, a client of
// node c gets each frame to all once, in order, and so does a client of
// the sender's own node.
TEST_F(ClusterE2E, FramesCrossNodesOnceAndInOrderOnEveryNode)
{
    Node& a = node("a");
    Node& b = node("b");
    Node& c = node("c");
    auto sender = a.server.join();
    auto local = a.server.join();
    auto holder = b.server.join();
    auto other = c.server.join();
    a.server.announce(*sender, "s");
    b.server.announce(*holder, "x");
    ASSERT_TRUE(interest_settled());

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
TEST_F(ClusterE2E, PastItsBoundANodeTakesTheWildcardAndStillGetsEachFrameOnce)
{
    Node& a = node("a");
    Node& b = node("b");
    auto sender = a.server.join();
    auto holder = b.server.join();
    b.server.announce(*holder, "x");
    std::string fresh;
    for (int i = 0; i < 1100; i++)
        fresh += make_frame("n f" + std::to_string(i) + " -");
    holder->send(fresh);
    ASSERT_TRUE(b.server.process.wait_for_log("srv: cluster subscriptions at their bound: taking every addressed frame"));
    EXPECT_EQ(b.metric("quillmarsh_cluster_wildcard"), 1);
    ASSERT_TRUE(interest_settled());
    const std::string frames = to("s", "x", "subscribed before") + to("s", "f1099", "through the wildcard");
    sender->send(frames);
    EXPECT_EQ(holder->read_exact(frames.size()), frames);
    EXPECT_EQ(holder->read_until_quiet(300), "") << "once, not once per subscription";
}

// An address's frames follow it from one node to another: the node it
// left takes none of them any more.
TEST_F(ClusterE2E, AnAddressThatMovesTakesItsFramesWithIt)
{
    Node& a = node("a");
    Node& b = node("b");
    Node& c = node("c");
    auto sender = a.server.join();
    auto first = b.server.join();
    b.server.announce(*first, "x");
    ASSERT_TRUE(interest_settled());
    sender->send(to("s", "x", "one"));
    EXPECT_EQ(first->read_exact(to("s", "x", "one").size()), to("s", "x", "one"));

    first.reset();
    ASSERT_TRUE(b.server.process.wait_for_log("logged out: "));
    auto second = c.server.join();
    c.server.announce(*second, "x");
    ASSERT_TRUE(interest_settled());
    EXPECT_EQ(b.subscriptions(), 1) << "only all";
    sender->send(to("s", "x", "two"));
    EXPECT_EQ(second->read_exact(to("s", "x", "two").size()), to("s", "x", "two"));
    EXPECT_EQ(b.metric("quillmarsh_cluster_frames_received_total"), 1);
}

// A node that dies: NATS drops its subscriptions, and the others go on.
TEST_F(ClusterE2E, ANodeThatStopsLeavesNoInterestBehind)
{
    Node& a = node("a");
    Node& b = node("b");
    Node& c = node("c");
    auto sender = a.server.join();
    auto gone = b.server.join();
    auto stays = c.server.join();
    b.server.announce(*gone, "x");
    c.server.announce(*stays, "x");
    ASSERT_TRUE(interest_settled());
    kill(b);
    ASSERT_TRUE(interest_settled());
    sender->send(to("s", "x", "after"));
    EXPECT_EQ(stays->read_exact(to("s", "x", "after").size()), to("s", "x", "after"));
}

// NATS killed: both nodes say so, the sender's node drops what its buffer
// cannot hold and counts every drop; NATS back: both say so, and frames
// flow again.
TEST_F(ClusterE2E, NatsKilledAndRestartedIsSaidAndCountedAndTrafficFlowsAgain)
{
    // A user and a password holding an '@' in the URL, which the log never
    // shows, neither at the first connect nor at a reconnect.
    const std::string url = nats->url();
    const std::string with_user = "nats://a:p@ss@" + url.substr(std::strlen("nats://"));
    nodes.push_back(std::make_unique<Node>(with_user, "a", std::vector<std::string>{"--cluster-buffer", "8192"}));
    Node& a = *nodes.back();
    Node& b = node("b");
    auto sender = a.server.join();
    auto holder = b.server.join();
    b.server.announce(*holder, "x");
    ASSERT_TRUE(interest_settled());

    nats->kill();
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
        held = a.metric("quillmarsh_cluster_frames_held");
        dropped = a.dropped("buffer");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(held + dropped, SENT);
    EXPECT_GT(held, 0);
    EXPECT_GT(dropped, 0);

    ASSERT_TRUE(nats->restart()) << nats->why();
    ASSERT_TRUE(a.server.process.wait_for_log("srv: cluster link up: " + url + "\n", 2))
        << a.server.process.log_text();
    ASSERT_TRUE(b.server.process.wait_for_log("srv: cluster link up: ", 2));
    ASSERT_TRUE(interest_settled());
    // What was held went out once the link was back, but reached the
    // holder only as far as its node was subscribed again by then: at most
    // once.
    const std::string came = holder->read_until_quiet(500);
    EXPECT_LE(split_frames(came).size(), static_cast<std::size_t>(held));
    EXPECT_EQ(a.metric("quillmarsh_cluster_frames_held"), 0);
    EXPECT_EQ(a.metric("quillmarsh_cluster_frames_published_total"), published_before + held);
    sender->send(to("s", "x", "back"));
    EXPECT_EQ(holder->read_exact(to("s", "x", "back").size()), to("s", "x", "back"));
    EXPECT_TRUE(a.server.process.wait_for_log("srv: cluster dropped " + std::to_string(dropped) +
                                              " frames: buffer full"));
    EXPECT_EQ(a.metric("quillmarsh_cluster_reconnects_total"), 1);
}

// NATS is down when a switch starts: it says so, serves its own clients,
// holds what they send towards the cluster, and joins once NATS is up.
TEST_F(ClusterE2E, ASwitchStartedWhileNatsIsDownJoinsOnceItIsUp)
{
    nats->kill();
    Node& a = node("a", {}, LinkAtStart::down);
    auto sender = a.server.join();
    auto local = a.server.join();
    a.server.announce(*local, "l");
    sender->send(to("s", "x", "held") + to("s", "", "held"));
    EXPECT_EQ(local->read_exact(to("s", "", "held").size()), to("s", "", "held"));
    EXPECT_EQ(a.metric("quillmarsh_cluster_frames_held"), 3) << "with the frame that announced l";

    ASSERT_TRUE(nats->restart()) << nats->why();
    ASSERT_TRUE(a.server.process.wait_for_log("srv: cluster link up: "));
    Node& b = node("b");
    auto holder = b.server.join();
    b.server.announce(*holder, "x");
    ASSERT_TRUE(interest_settled());
    sender->send(to("s", "x", "joined"));
    EXPECT_EQ(holder->read_exact(to("s", "x", "joined").size()), to("s", "x", "joined"));
    EXPECT_EQ(a.metric("quillmarsh_cluster_frames_held"), 0);
    EXPECT_EQ(a.metric("quillmarsh_cluster_frames_published_total"), 4);
}

// While the link reconnects, nats.c holds the connection through each try,
// and a server that takes the TCP connection and never speaks makes a try
// last the whole connect timeout (2 s). The node's own clients go on
// meanwhile, as fast as ever.
TEST_F(ClusterE2E, ReconnectingToAServerThatNeverAnswersDoesNotStallTheLocalRelay)
{
    std::uint16_t silent_port = 0;
    const socket_handle silent = client_listen_loopback(&silent_port);
    ASSERT_NE(silent, INVALID_SOCKET_HANDLE);
    nodes.push_back(std::make_unique<Node>(nats->url() + ",nats://127.0.0.1:" + std::to_string(silent_port), "a"));
    Node& a = *nodes.back();
    auto ping = a.server.join();
    auto pong = a.server.join();
    a.server.announce(*pong, "pong");
    ASSERT_TRUE(interest_settled());

    nats->kill();
    ASSERT_TRUE(a.server.process.wait_for_log("srv: cluster link down: "));
    const std::string round = to("ping", "pong", "round");
    auto slowest = Clock::duration::zero();
    const auto until = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < until) {
        const auto sent = Clock::now();
        ping->send(round);
        ASSERT_EQ(pong->read_exact(round.size()), round);
        slowest = std::max(slowest, Clock::now() - sent);
    }
    EXPECT_LT(slowest, std::chrono::milliseconds(500));
    client_close(silent);
}

TEST_F(ClusterE2E, TwoClustersOnOneNatsAreKeptApartByName)
{
    Node& east_a = node("a", {"--cluster-name", "east"});
    Node& east_b = node("b", {"--cluster-name", "east"});
    Node& west = node("w", {"--cluster-name", "west"});
    auto sender = east_a.server.join();
    auto east_holder = east_b.server.join();
    auto west_holder = west.server.join();
    east_b.server.announce(*east_holder, "x");
    west.server.announce(*west_holder, "x");
    ASSERT_TRUE(interest_settled());
    const std::string frames = to("s", "x", "direct") + to("s", "", "all");
    sender->send(frames);
    EXPECT_EQ(east_holder->read_exact(frames.size()), frames);
    EXPECT_EQ(west_holder->read_until_quiet(500), "");
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
TEST_F(ClusterE2E, AFloodFromOneNodeLeavesTheOthersLocalRelayServing)
{
    Node& a = node("a");
    Node& b = node("b");
    auto flooder = a.server.join();
    auto ping = b.server.join();
    auto pong = b.server.join();
    b.server.announce(*ping, "ping");
    b.server.announce(*pong, "pong");
    ASSERT_TRUE(interest_settled());
    std::atomic<bool> flooding = true;
    // About 20,000 frames a second reach b's clients. Unpaced, the flood
    // outran their readers on a quiet machine, and a reader a megabyte
    // behind is closed, as any slow reader is: that is not what is tested.
    std::thread flood([&] {
        std::string burst;
        for (int i = 0; i < 100; i++)
            burst += to("f", "", std::string(200, 'f'));
        while (flooding) {
            flooder->send(burst);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
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

// The most a process has held resident, in KiB, from /proc.
long peak_resident_kb(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(file, line);)
        if (line.starts_with("VmHWM:"))
            return std::atol(line.c_str() + line.find(':') + 1);
    return -1;
}

// Whoever may publish on the cluster's subjects may put a header as big as
// NATS lets a message be on each message: a node lets go of each one once
// it has taken it, not a thousand of them later.
TEST_F(ClusterE2E, MessagesWithHugeHeadersAreNotHeldOnceTaken)
{
    Node& a = node("a");
    ASSERT_TRUE(interest_settled());
    const std::string url = nats->url();
    TestClient peer(static_cast<std::uint16_t>(std::stoi(url.substr(url.rfind(':') + 1))));
    peer.send("CONNECT {\"verbose\":false,\"headers\":true}\r\n");
    const std::string header = "NATS/1.0\r\nBulk: " + std::string(1000000, 'h') + "\r\n\r\n";
    const std::string message = "HPUB quillmarsh.all " + std::to_string(header.size()) + " " +
                                std::to_string(header.size() + 1) + "\r\n" + header + "x\r\n";
    // Paced, so that NATS never takes the node for a slow consumer; each
    // message is not a frame of ours, and counted as such.
    constexpr int ROUNDS = 15;
    constexpr int PER_ROUND = 10;
    for (int round = 1; round <= ROUNDS; round++) {
        for (int i = 0; i < PER_ROUND; i++)
            peer.send(message);
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (a.dropped("invalid") < round * PER_ROUND && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(a.dropped("invalid"), round * PER_ROUND);
    }
#ifdef QM_SANITIZED_SERVER
    // Shadow memory and a quarantine of freed blocks: only gross growth shows.
    constexpr long BOUND_KB = 1024 * 1024;
#else
    constexpr long BOUND_KB = 64 * 1024;
#endif
    EXPECT_LT(peak_resident_kb(a.server.process.process_id()), BOUND_KB)
        << "after " << ROUNDS * PER_ROUND << " messages of 1 MB";
}

#ifdef QM_HAVE_OPENSSL
// NATS over TLS, its certificate signed by a CA of the operator's.
class ClusterTlsE2E : public ClusterE2E {
protected:
    NatsServer::Options nats_options() override
    {
        NatsServer::Options options = ClusterE2E::nats_options();
        options.tls_cert = files.cert;
        options.tls_key = files.key;
        return options;
    }
    ScratchDirectory certificates;
    TlsServerFiles files = self_signed(certificates.path(), "nats");
};

// Trusted with --cluster-ca, refused without, and the log says why.
TEST_F(ClusterTlsE2E, TheServersCertificateIsCheckedAgainstTheCaGiven)
{
    Node& a = node("a", {"--cluster-ca", files.cert});
    Node& b = node("b", {"--cluster-ca", files.cert});
    RunningServer untrusting({"--cluster", nats->url()}, {E2E_LOGIN, E2E_PASSWORD});
    auto sender = a.server.join();
    auto holder = b.server.join();
    b.server.announce(*holder, "x");
    ASSERT_TRUE(interest_settled());
    sender->send(to("s", "x", "sealed"));
    EXPECT_EQ(holder->read_exact(to("s", "x", "sealed").size()), to("s", "x", "sealed"));
    EXPECT_TRUE(untrusting.process.wait_for_log("srv: cluster link down: SSL handshake error: "))
        << untrusting.process.log_text();
    EXPECT_EQ(untrusting.process.log_text().find("cluster link up"), std::string::npos);
}
#endif

// Without a NATS client (the Windows build among them), --cluster is
// refused at start, with the reason; so are credentials that cannot be read.
TEST(ClusterStartE2E, ASwitchThatCannotJoinSaysWhyAndExitsWithTwo)
{
    const bool without_nats = server_runs_under_wine() || !cluster_link_available();
    ServerProcess refused({"--cluster", "nats://127.0.0.1:4222", "--cluster-creds", "missing.creds",
                           std::to_string(ServerProcess::free_port()), "a", "b"});
    EXPECT_EQ(refused.wait_exit(10000), 2);
    EXPECT_NE(refused.stderr_text().find(without_nats ? "no NATS client" : "missing.creds"), std::string::npos)
        << refused.stderr_text();
    EXPECT_EQ(refused.stdout_text(), "") << "said before the banner";
}

// Two NATS servers joined by a route, a node on each.
TEST(ClusterRoutesE2E, NodesOnTwoRoutedNatsServersAreOneNetwork)
{
    NatsServer::Options first_options;
    first_options.cluster_name = "routed";
    first_options.monitoring = true;
    if (const std::string why = why_no_cluster(); !why.empty())
        GTEST_SKIP() << why;
    NatsServer first(first_options);
    if (!first.running())
        GTEST_SKIP() << first.why();
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

} // namespace
