// A nats-server of a test's own, on loopback ports it picks itself and
// writes down (-p -1 --ports_file_dir), never the packaged service, which
// may hold port 4222. Routes join two of them into one NATS cluster.
#pragma once

#include "tests/support/scratch_directory.h"
#include "tests/support/tool_process.h"

#include <cstdint>
#include <string>
#include <memory>
#include <vector>

class NatsServer {
public:
    struct Options {
        // A route listener, and the cluster's name for nats-server.
        std::string cluster_name;
        // Route URLs to solicit (nats://127.0.0.1:PORT of the others).
        std::vector<std::string> routes;
        // The monitoring port, for /subsz.
        bool monitoring = false;
        // TLS for clients, with this certificate and key (PEM files).
        std::string tls_cert;
        std::string tls_key;
    };
    NatsServer() : NatsServer(Options{}) {}
    explicit NatsServer(Options options);
    ~NatsServer();
    NatsServer(const NatsServer&) = delete;
    NatsServer& operator=(const NatsServer&) = delete;

    // nats-server's path (on PATH or in /usr/sbin, where Debian puts it), or
    // "" when it is not installed.
    static std::string binary();

    // Whether it runs and has said its ports; why() says what went wrong.
    bool running() const { return process && port != 0; }
    std::string why() const;
    std::string url() const
    {
        return (options.tls_cert.empty() ? "nats://127.0.0.1:" : "tls://127.0.0.1:") + std::to_string(port);
    }
    std::string route_url() const { return "nats://127.0.0.1:" + std::to_string(cluster_port); }
    std::uint16_t monitoring_port() const { return monitor_port; }

    // Kills it without a word (SIGKILL), as a crash would.
    void kill();
    // Starts it again on the same ports; false when it does not come up.
    bool restart();
    // The subscriptions it holds in the account that clients use (its own
    // clients' and those its routes tell it of), from its monitoring port,
    // or -1.
    long subscriptions() const;

private:
    bool start(const std::vector<std::string>& arguments);
    std::vector<std::string> arguments_on(std::uint16_t client, std::uint16_t cluster,
                                          std::uint16_t monitor) const;

    Options options;
    // Where it writes its ports file.
    ScratchDirectory dir;
    std::unique_ptr<ToolProcess> process;
    std::uint16_t port = 0;
    std::uint16_t cluster_port = 0;
    std::uint16_t monitor_port = 0;
};
