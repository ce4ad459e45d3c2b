// A switch of a cluster for the end-to-end tests, and the wait for NATS to
// hold what the switches subscribed to.
#pragma once

#include "tests/support/e2e_helpers.h"
#include "tests/support/nats_server.h"

#include <string>
#include <vector>

// How a node's link is expected to start.
enum class LinkAtStart { up, down };

// Started with --cluster on servers and its metrics port open; started once
// its link says it is up (or down, as expected).
struct ClusterNode {
    ClusterNode(const std::string& servers, const std::string& name, const std::vector<std::string>& extra = {},
                LinkAtStart link = LinkAtStart::up);

    // The value of one sample of /metrics ("name" or "name{label=\"v\"}"),
    // or -1.
    long metric(const std::string& name) const;
    long subscriptions() const { return metric("quillmarsh_cluster_subscriptions"); }

    std::uint16_t metrics_port;
    RunningServer server;
};

// Waits until nats holds every subscription the nodes made, beyond the
// baseline it held before they came: a subscription takes effect only once
// the NATS server has it, a round trip after the switch made it.
bool wait_for_interest(const NatsServer& nats, long baseline, const std::vector<const ClusterNode*>& nodes);
