// Several switches as one network. Each switch routes its own clients'
// frames as it always has, and also publishes each to the cluster's NATS
// server: on NAME.all for the empty destination, else on NAME.a.<the
// destination's bytes in hex>. It subscribes to NAME.all and to the subject
// of every address its own clients hold, as the registry has them (the first
// record of a name subscribes, its last record's going unsubscribes), and
// delivers what the others publish to its own clients through the same
// queues and limits as their frames. The link itself is platform's
// (cluster_link.h); what goes over it, and why, is here.
#pragma once

#include "platform/cluster_link.h"
#include "switch/address_registry.h"
#include "switch/metrics.h"
#include "switch/watcher.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct Server;

constexpr const char* DEFAULT_CLUSTER_NAME = "quillmarsh";
constexpr std::size_t DEFAULT_CLUSTER_BUFFER = 8u << 20;

// Subject interest may not churn without bound: a client that announces a
// fresh address in every frame must not cost a subscription per frame.
// A switch holds at most this many address subscriptions, and makes at most
// CLUSTER_SUBSCRIBES_PER_SECOND of them a second (in bursts of as many);
// past either bound it subscribes to NAME.a.> instead, takes every
// addressed frame of the cluster and delivers those its clients hold. It
// keeps the wildcard at least CLUSTER_WILDCARD_MS, and leaves it once its
// addresses fit the bounds again (half the subscriptions, a burst of
// subscribes). A frame that matches both the wildcard and an address comes
// once: every subscription of a switch is in a queue group of its own.
constexpr std::size_t CLUSTER_SUBSCRIPTIONS_MAX = 10000;
constexpr std::int64_t CLUSTER_SUBSCRIBES_PER_SECOND = 1000;
constexpr std::int64_t CLUSTER_WILDCARD_MS = 60000;
// Frames from the cluster delivered in one turn, at most: local clients'
// input is read between batches.
constexpr std::size_t CLUSTER_FRAMES_PER_TURN = 1024;
// How long a stop waits for the frames held for the cluster to go out.
constexpr std::int64_t CLUSTER_STOP_FLUSH_MS = 1000;

// A run of drops of one reason: said when it starts and when it ends, which
// is when a frame of its kind goes through CLUSTER_DROPS_QUIET_MS or more
// after its last drop. A bound at which frames pass and fail by turns is
// one run, not two lines a turn.
constexpr std::int64_t CLUSTER_DROPS_QUIET_MS = 1000;

struct DropEpisode {
    bool active = false;
    std::uint64_t dropped_before = 0;
    std::int64_t last_drop_ms = 0;
};

// A frame published while the link was not connected, and its subject.
struct HeldFrame {
    std::string subject;
    std::string frame;
};

struct Cluster {
    // Null unless the switch joined a cluster.
    std::unique_ptr<ClusterLink> link;
    std::string all_subject;      // NAME.all
    std::string address_prefix;   // NAME.a.
    std::string wildcard_subject; // NAME.a.>
    // The most bytes held for the cluster each way.
    std::size_t buffer_bytes = 0;
    // The link was connected when last asked, and what waited for it has
    // been made since.
    bool connected = false;
    bool ever_up = false;
    // The link gave up for good: frames for it are dropped.
    bool closed = false;
    // Frames published while the link was not connected, and those
    // published behind them, oldest first: sent in order as the link takes
    // them. At most buffer_bytes of them, with what the link holds itself.
    std::deque<HeldFrame> held;
    std::size_t held_bytes = 0;
    // The subscriptions of names that went while the link was not
    // connected, ended once it is: at most CLUSTER_SUBSCRIPTIONS_MAX, room
    // made at the start.
    std::vector<LinkSubscription> ended_while_away;
    LinkSubscription all = NO_SUBSCRIPTION;
    LinkSubscription wildcard = NO_SUBSCRIPTION;
    std::int64_t wildcard_since_ms = 0;
    // The addresses subscribed one by one, by stored name.
    std::unordered_map<std::string, LinkSubscription, AddressNameHash, std::equal_to<>> subscribed;
    // Subscribes that may be made now, in thousandths, and when counted.
    std::int64_t subscribe_credit = CLUSTER_SUBSCRIBES_PER_SECOND * 1000;
    std::int64_t credit_counted_ms = 0;
    // The link's own drops, when last looked at.
    std::uint64_t link_dropped = 0;
    std::array<DropEpisode, CLUSTER_DROP_REASONS> episodes{};
    // The last turn took as many frames as a turn may: more may wait.
    bool frames_waiting = false;
    // Frames went to the link in this turn, to be written at its end.
    bool published_in_turn = false;
    // The link's socket in the poller, and what the last wait said of it.
    Watcher watcher;
    bool readable = false;
    bool writable = false;
    // Built anew for each frame, kept for its capacity.
    std::string subject;
    std::string destination;
};

// Joins the cluster NAME through link, holding at most buffer_bytes for it
// each way: from now on the registry's names are subscribed to as they
// come and go, and frames go both ways.
void cluster_start(Server& server, std::string_view name, std::unique_ptr<ClusterLink> link,
                   std::size_t buffer_bytes);

// Publishes a frame that a local client sent to destination (after the
// rights allowed it, and after it was routed locally); holds it while the
// link is not connected.
void cluster_publish(Server& server, std::string_view frame, std::string_view destination);

// Before the wait: watches the link's socket for what nats.c asks, the
// socket it has now.
void cluster_watch(Server& server);

// Notes what the wait reported of the link's socket.
void take_cluster_event(Server& server, Watcher& watcher, const SocketEvent& event);

// After the wait: reads and writes the link's socket as reported, then
// takes what the link has to say: its notices, said in the log and
// counted, and up to CLUSTER_FRAMES_PER_TURN frames from the other
// switches, delivered. Subscribes what waited for a connection or for the
// bounds, and sends what was held.
void cluster_take(Server& server);

// At a turn's end: writes what the turn published, as far as the socket
// takes it without waiting.
void cluster_flush(Server& server);

// More frames from the cluster wait than a turn took: the wait must not sleep.
bool cluster_has_frames(const Server& server);

// The moment the switch may leave the wildcard, or 0 for no deadline.
std::int64_t cluster_deadline_ms(const Server& server);

// Leaves the cluster: while the link is connected, writes what is still
// held for it, for at most CLUSTER_STOP_FLUSH_MS; stops watching the link's
// socket and closes it.
void cluster_stop(Server& server);
