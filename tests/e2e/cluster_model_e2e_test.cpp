// Random frames among clients spread over three switches of a cluster
// reach exactly the clients that one switch holding all of them would have
// relayed them to, each sender's in the order sent.
#include "platform/cluster_link.h"
#include "tests/support/cluster_node.h"

#include <gtest/gtest.h>
#include <map>
#include <random>
#include <set>

namespace {

constexpr int NODES = 3;
constexpr int CLIENTS_PER_NODE = 3;
constexpr int ROUNDS = 3;
constexpr int FRAMES_PER_ROUND = 400;
constexpr int NAMES_PER_ROUND = 6;

// One client of the model: where it is, what it holds, what it should hear.
struct Member {
    std::unique_ptr<TestClient> client;
    int node = 0;
    std::set<std::string> addresses;
    std::string source; // the address its frames are sent from
    std::string expected;
};

// The frames of one sender, in the order they came.
std::map<std::string, std::vector<std::string>> by_sender(const std::string& stream)
{
    std::map<std::string, std::vector<std::string>> frames;
    for (std::string_view frame : split_frames(stream)) {
        const std::size_t from = frame.rfind(' ') + 1;
        const std::string tag(frame.substr(from, frame.find(':', from) - from));
        frames[tag].emplace_back(frame);
    }
    return frames;
}

TEST(ClusterModelE2E, RandomFramesReachExactlyWhomOneSwitchWithEveryClientWould)
{
    if (server_runs_under_wine())
        GTEST_SKIP() << "the Windows build has no NATS client";
    if (!cluster_link_available())
        GTEST_SKIP() << cluster_link_unavailable_reason();
    NatsServer::Options options;
    options.monitoring = true;
    NatsServer nats(options);
    if (!nats.running())
        GTEST_SKIP() << nats.why();
    const long baseline = nats.subscriptions();
    std::vector<std::unique_ptr<ClusterNode>> nodes;
    for (int n = 0; n < NODES; n++)
        nodes.push_back(std::make_unique<ClusterNode>(nats.url(), "n" + std::to_string(n)));
    auto interest_settled = [&] { return wait_for_interest(nats, baseline, {nodes[0].get(), nodes[1].get(), nodes[2].get()}); };

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    int logouts = 0;
    for (int round = 0; round < ROUNDS; round++) {
        // Fresh clients and fresh names each round: the last round's go, and
        // their subscriptions with them.
        std::vector<std::string> names;
        for (int k = 0; k < NAMES_PER_ROUND; k++)
            names.push_back("r" + std::to_string(round) + "n" + std::to_string(k));
        std::vector<Member> members(NODES * CLIENTS_PER_NODE);
        for (std::size_t i = 0; i < members.size(); i++) {
            Member& m = members[i];
            m.node = static_cast<int>(i) % NODES;
            RunningServer& server = nodes[static_cast<std::size_t>(m.node)]->server;
            m.client = server.join();
            m.source = "r" + std::to_string(round) + "c" + std::to_string(i);
            // Each announcement's text is its own, so that its log line
            // says that this one was taken.
            auto announce = [&](const std::string& name) {
                const std::string text = "a" + std::to_string(i) + " \"" + name + "\" -";
                m.client->send(make_frame(text));
                EXPECT_TRUE(server.process.wait_for_log(": " + text)) << server.process.log_text();
                m.addresses.insert(name);
            };
            announce(m.source);
            for (const std::string& name : names)
                if (random() % 3 == 0)
                    announce(name);
        }
        ASSERT_TRUE(interest_settled());

        std::vector<std::string> destinations = names;
        destinations.push_back("");
        destinations.push_back("nobody");
        for (const Member& m : members)
            destinations.push_back(m.source);
        std::vector<std::string> sent(members.size());
        for (int f = 0; f < FRAMES_PER_ROUND; f++) {
            const std::size_t s = random() % members.size();
            const std::string& destination = destinations[random() % destinations.size()];
            const std::string frame = make_frame("m " + members[s].source + " \"" + destination + "\" " +
                                                 std::to_string(s) + ":" + std::to_string(f));
            sent[s] += frame;
            for (std::size_t r = 0; r < members.size(); r++)
                if (r != s && (destination.empty() || members[r].addresses.contains(destination)))
                    members[r].expected += frame;
        }
        for (std::size_t s = 0; s < members.size(); s++)
            members[s].client->send(sent[s]);

        for (std::size_t r = 0; r < members.size(); r++) {
            Member& m = members[r];
            std::string came = m.client->read_exact(m.expected.size(), 10000);
            came += m.client->read_until_quiet(100);
            EXPECT_EQ(by_sender(came), by_sender(m.expected)) << "client " << r << " on node " << m.node;
        }
        for (Member& m : members)
            m.client.reset();
        for (const auto& node : nodes)
            ASSERT_TRUE(node->server.process.wait_for_log("logged out: ", (logouts + static_cast<int>(members.size())) / NODES));
        logouts += static_cast<int>(members.size());
        ASSERT_TRUE(interest_settled());
    }
}

} // namespace
