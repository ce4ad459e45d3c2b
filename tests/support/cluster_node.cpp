#include "tests/support/cluster_node.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

std::vector<std::string> node_options(const std::string& servers, const std::string& name,
                                      std::uint16_t metrics_port, const std::vector<std::string>& extra)
{
    std::vector<std::string> words = {"--cluster", servers, "--node-name", name,
                                      "--metrics", "127.0.0.1:" + std::to_string(metrics_port)};
    words.insert(words.end(), extra.begin(), extra.end());
    return words;
}

} // namespace

ClusterNode::ClusterNode(const std::string& servers, const std::string& name, const std::vector<std::string>& extra,
                         LinkAtStart link)
    : metrics_port(ServerProcess::free_port()),
      server(node_options(servers, name, metrics_port, extra), {E2E_LOGIN, E2E_PASSWORD})
{
    const char* said = link == LinkAtStart::up ? "srv: cluster link up: " : "srv: cluster link down: ";
    EXPECT_TRUE(server.process.wait_for_log(said)) << server.process.log_text();
}

long ClusterNode::metric(const std::string& name) const
{
    TestClient client(metrics_port);
    client.send("GET /metrics HTTP/1.0\r\n\r\n");
    const std::string page = client.read_exact(1 << 20, 5000);
    const std::size_t at = page.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::stol(page.substr(at + name.size() + 2));
}

bool wait_for_interest(const NatsServer& nats, long baseline, const std::vector<const ClusterNode*>& nodes)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        long wanted = baseline;
        for (const ClusterNode* node : nodes)
            wanted += node->subscriptions();
        if (nats.subscriptions() == wanted)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}
