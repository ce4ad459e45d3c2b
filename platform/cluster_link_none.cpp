// A build without nats.c: no switch can join a cluster, and --cluster says
// why.
#include "platform/cluster_link.h"

namespace {

constexpr const char* NO_NATS =
    "this build has no NATS client (build it with nats.c: apt-get install libnats-dev)";

} // namespace

bool cluster_link_available()
{
    return false;
}

const char* cluster_link_unavailable_reason()
{
    return NO_NATS;
}

std::string cluster_host_name()
{
    return "";
}

std::unique_ptr<ClusterLink> cluster_link_open(const ClusterLinkSettings&, std::string* error)
{
    *error = NO_NATS;
    return nullptr;
}
