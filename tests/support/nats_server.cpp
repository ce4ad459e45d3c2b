#include "tests/support/nats_server.h"

#include "tests/support/test_client.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

std::uint16_t port_in(const std::string& ports, const std::string& kind)
{
    std::smatch found;
    const std::regex pattern("\"" + kind + "\":\\[\"[a-z]+://127\\.0\\.0\\.1:([0-9]+)\"");
    return std::regex_search(ports, found, pattern)
               ? static_cast<std::uint16_t>(std::stoi(found[1].str()))
               : 0;
}

} // namespace

std::string NatsServer::binary()
{
    if (const char* path = std::getenv("PATH")) {
        std::string list = path;
        for (std::size_t start = 0; start <= list.size();) {
            std::size_t colon = std::min(list.find(':', start), list.size());
            std::filesystem::path candidate = std::filesystem::path(list.substr(start, colon - start)) / "nats-server";
            if (access(candidate.c_str(), X_OK) == 0)
                return candidate;
            start = colon + 1;
        }
    }
    return access("/usr/sbin/nats-server", X_OK) == 0 ? "/usr/sbin/nats-server" : "";
}

NatsServer::NatsServer(Options server_options) : options(std::move(server_options))
{
    start(arguments_on(0, 0, 0));
}

NatsServer::~NatsServer()
{
    kill();
}

std::vector<std::string> NatsServer::arguments_on(std::uint16_t client, std::uint16_t cluster,
                                                  std::uint16_t monitor) const
{
    auto port_text = [](std::uint16_t p) { return p == 0 ? std::string("-1") : std::to_string(p); };
    std::vector<std::string> arguments = {"-a", "127.0.0.1", "-p", port_text(client),
                                          "--ports_file_dir", dir.path().string()};
    if (options.monitoring)
        arguments.insert(arguments.end(), {"-m", port_text(monitor)});
    if (!options.tls_cert.empty())
        arguments.insert(arguments.end(), {"--tls", "--tlscert", options.tls_cert, "--tlskey", options.tls_key});
    if (!options.cluster_name.empty()) {
        arguments.insert(arguments.end(), {"--cluster", "nats://127.0.0.1:" + port_text(cluster),
                                           "--cluster_name", options.cluster_name});
        std::string routes;
        for (const std::string& route : options.routes)
            routes += (routes.empty() ? "" : ",") + route;
        if (!routes.empty())
            arguments.insert(arguments.end(), {"--routes", routes});
    }
    return arguments;
}

bool NatsServer::start(const std::vector<std::string>& arguments)
{
    const std::string program = binary();
    if (program.empty())
        return false;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        if (entry.path().extension() == ".ports")
            std::filesystem::remove(entry.path());
    process = std::make_unique<ToolProcess>(program, arguments);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline && process->wait_exit(0) == -1) {
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            if (entry.path().extension() != ".ports")
                continue;
            const std::string ports = dir.read(entry.path().filename().string());
            port = port_in(ports, "nats");
            cluster_port = port_in(ports, "cluster");
            monitor_port = port_in(ports, "monitoring");
            if (port != 0 && (options.cluster_name.empty() || cluster_port != 0) &&
                (!options.monitoring || monitor_port != 0))
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    port = 0;
    return false;
}

std::string NatsServer::why() const
{
    if (binary().empty())
        return "nats-server is not installed (apt-get install nats-server)";
    return "nats-server did not start: " + (process ? process->err() : std::string());
}

void NatsServer::kill()
{
    process.reset();
}

bool NatsServer::restart()
{
    kill();
    const std::uint16_t client = port, cluster = cluster_port, monitor = monitor_port;
    return start(arguments_on(client, cluster, monitor));
}

long NatsServer::subscriptions() const
{
    if (!monitor_port)
        return -1;
    TestClient client(monitor_port, 2000);
    client.send("GET /subsz?acc=%24G HTTP/1.0\r\n\r\n");
    const std::string answer = client.read_exact(1 << 16, 2000);
    std::smatch found;
    static const std::regex count("\"num_subscriptions\":\\s*([0-9]+)");
    return std::regex_search(answer, found, count) ? std::stol(found[1].str()) : -1;
}
