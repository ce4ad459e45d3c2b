#include "switch/cluster.h"

#include "protocol/frame.h"
#include "switch/route.h"
#include "switch/server.h"

#include <algorithm>

namespace {

constexpr std::string_view HEX = "0123456789abcdef";

const char* const DROP_SAID[CLUSTER_DROP_REASONS] = {
    "buffer full",
    "link down",
    "too slow to take them",
    "not a frame of ours",
};

void say(Server& server, std::string_view text)
{
    log_event(server.log, platform.now(), "srv", text);
}

// Drops come in runs (a full buffer, a link down, a burst too fast to
// take): each run is said once as it starts and once as it ends, with its
// count, however many frames it held.
void drop_frames(Server& server, ClusterDrop reason, std::uint64_t frames = 1)
{
    const auto i = static_cast<std::size_t>(reason);
    DropEpisode& episode = server.cluster.episodes[i];
    std::uint64_t& dropped = cluster_dropped(server.metrics, reason);
    if (!episode.active) {
        episode = {true, dropped, 0};
        say(server, std::string("cluster dropping frames: ") + DROP_SAID[i]);
    }
    episode.last_drop_ms = platform.monotonic_ms();
    dropped += frames;
}

void end_drops(Server& server, ClusterDrop reason)
{
    const auto i = static_cast<std::size_t>(reason);
    DropEpisode& episode = server.cluster.episodes[i];
    if (!episode.active || platform.monotonic_ms() - episode.last_drop_ms < CLUSTER_DROPS_QUIET_MS)
        return;
    episode.active = false;
    const std::uint64_t count = cluster_dropped(server.metrics, reason) - episode.dropped_before;
    say(server, "cluster dropped " + std::to_string(count) + " frames: " + DROP_SAID[i]);
}

void address_subject(std::string& subject, const Cluster& cluster, std::string_view name)
{
    subject = cluster.address_prefix;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        subject += HEX[byte >> 4];
        subject += HEX[byte & 0x0F];
    }
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The destination a subject of this cluster names: true with the empty
// destination for NAME.all, with the address for NAME.a.<hex>; false for
// anything else (another switch never publishes it).
bool destination_of(const Cluster& cluster, std::string_view subject, std::string& destination)
{
    destination.clear();
    if (subject == cluster.all_subject)
        return true;
    if (!subject.starts_with(cluster.address_prefix))
        return false;
    std::string_view hex = subject.substr(cluster.address_prefix.size());
    if (hex.empty() || hex.size() % 2 != 0 || hex.size() > 2 * ADDRESS_NAME_MAX)
        return false;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = hex_digit(hex[i]);
        const int low = hex_digit(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        destination += static_cast<char>(high * 16 + low);
    }
    return destination.find('\0') == std::string::npos;
}

void count_held(Server& server)
{
    server.metrics.cluster.held = static_cast<std::int64_t>(server.cluster.held.size());
}

void count_subscriptions(Server& server)
{
    const Cluster& cluster = server.cluster;
    server.metrics.cluster.subscriptions = static_cast<std::int64_t>(
        cluster.subscribed.size() + (cluster.all != NO_SUBSCRIPTION) + (cluster.wildcard != NO_SUBSCRIPTION));
    server.metrics.cluster.wildcard = cluster.wildcard != NO_SUBSCRIPTION;
}

// Subscribes earn credit with time, up to a burst's worth.
void earn_credit(Cluster& cluster, std::int64_t now_ms)
{
    const std::int64_t most = CLUSTER_SUBSCRIBES_PER_SECOND * 1000;
    const std::int64_t earned = (now_ms - cluster.credit_counted_ms) * CLUSTER_SUBSCRIBES_PER_SECOND;
    cluster.subscribe_credit = std::min(most, cluster.subscribe_credit + std::max<std::int64_t>(earned, 0));
    cluster.credit_counted_ms = now_ms;
}

void take_wildcard(Server& server, std::int64_t now_ms)
{
    Cluster& cluster = server.cluster;
    cluster.wildcard = cluster.link->subscribe(cluster.wildcard_subject);
    if (cluster.wildcard == NO_SUBSCRIPTION)
        return;
    cluster.wildcard_since_ms = now_ms;
    say(server, "cluster subscriptions at their bound: taking every addressed frame (" +
                    std::to_string(server.registry.by_name.size()) + " addresses)");
}

// An address of a local client, subscribed one by one while the bounds
// allow, else through the wildcard.
void subscribe_address(Server& server, std::string_view name, std::int64_t now_ms)
{
    Cluster& cluster = server.cluster;
    // The empty name is never a destination: the empty destination is all.
    if (!cluster.connected || cluster.wildcard != NO_SUBSCRIPTION || name.empty() ||
        cluster.subscribed.contains(name))
        return;
    earn_credit(cluster, now_ms);
    if (cluster.subscribed.size() >= CLUSTER_SUBSCRIPTIONS_MAX || cluster.subscribe_credit < 1000) {
        take_wildcard(server, now_ms);
        return;
    }
    address_subject(cluster.subject, cluster, name);
    const LinkSubscription subscription = cluster.link->subscribe(cluster.subject);
    if (subscription == NO_SUBSCRIPTION)
        return;
    try {
        cluster.subscribed.emplace(std::string(name), subscription);
    } catch (const std::bad_alloc&) {
        cluster.link->unsubscribe(subscription);
        return;
    }
    cluster.subscribe_credit -= 1000;
}

// The names of the local clients not subscribed one by one. Costs a look at
// every name held.
std::size_t names_not_subscribed(const Server& server)
{
    std::size_t count = 0;
    for (const auto& [name, holders] : server.registry.by_name)
        count += !name.empty() && !server.cluster.subscribed.contains(name);
    return count;
}

// Once the wildcard has been held long enough and the addresses fit the
// bounds again, each is subscribed and the wildcard let go: the server
// processes the subscribes before the unsubscribe, so no frame falls
// between them. Costs a look at every name held, once per turn after the
// wildcard's least time.
void leave_wildcard_when_due(Server& server, std::int64_t now_ms)
{
    Cluster& cluster = server.cluster;
    if (!cluster.connected || cluster.wildcard == NO_SUBSCRIPTION ||
        now_ms < cluster.wildcard_since_ms + CLUSTER_WILDCARD_MS)
        return;
    earn_credit(cluster, now_ms);
    const std::size_t missing = names_not_subscribed(server);
    if (server.registry.by_name.size() > CLUSTER_SUBSCRIPTIONS_MAX / 2 ||
        static_cast<std::int64_t>(missing) * 1000 > cluster.subscribe_credit) {
        // Not yet: looked at again after another while.
        cluster.wildcard_since_ms = now_ms;
        return;
    }
    const LinkSubscription wildcard = cluster.wildcard;
    cluster.wildcard = NO_SUBSCRIPTION;
    for (const auto& [name, holders] : server.registry.by_name)
        if (!cluster.subscribed.contains(name))
            subscribe_address(server, name, now_ms);
    if (cluster.wildcard != NO_SUBSCRIPTION) {
        // A subscribe failed its way back to the wildcard: keep the old one.
        cluster.link->unsubscribe(cluster.wildcard);
        cluster.wildcard = wildcard;
        cluster.wildcard_since_ms = now_ms;
        return;
    }
    cluster.link->unsubscribe(wildcard);
    say(server, "cluster subscriptions within their bound again: " +
                    std::to_string(cluster.subscribed.size()) + " addresses");
}

// The link is connected, for the first time or again: what the registry
// holds now is subscribed (nats.c subscribes again by itself to what it
// had), and only then do the subscriptions of the names gone meanwhile end,
// so that no frame falls between. Costs a look at every name held.
// Another of nats.c's threads may give the connection up at any moment (its
// pings went unanswered): asked before each call, so that a catch-up that
// finds the link gone stops there and goes on when it is back.
bool still_connected(Cluster& cluster)
{
    cluster.connected = cluster.link->connected();
    return cluster.connected;
}

void catch_up(Server& server)
{
    Cluster& cluster = server.cluster;
    if (cluster.all == NO_SUBSCRIPTION && still_connected(cluster))
        cluster.all = cluster.link->subscribe(cluster.all_subject);
    const std::int64_t now_ms = platform.monotonic_ms();
    for (auto name = server.registry.by_name.begin(); name != server.registry.by_name.end() && still_connected(cluster);
         ++name)
        subscribe_address(server, name->first, now_ms);
    while (!cluster.ended_while_away.empty() && still_connected(cluster)) {
        cluster.link->unsubscribe(cluster.ended_while_away.back());
        cluster.ended_while_away.pop_back();
    }
    count_subscriptions(server);
}

// Whether calls may be made to the link now, catching up first when it has
// just connected. Asked afresh at each use: the link may go at any read or
// write of its socket.
bool link_connected(Server& server)
{
    Cluster& cluster = server.cluster;
    if (!cluster.link->connected()) {
        cluster.connected = false;
        return false;
    }
    if (!cluster.connected) {
        cluster.connected = true;
        catch_up(server);
    }
    return cluster.connected;
}

void name_appeared(void* context, std::string_view name)
{
    Server& server = *static_cast<Server*>(context);
    if (link_connected(server))
        subscribe_address(server, name, platform.monotonic_ms());
    count_subscriptions(server);
}

// While the link is not connected, the subscription ends once it is; room
// for every one was made at the start.
void name_vanished(void* context, std::string_view name)
{
    Server& server = *static_cast<Server*>(context);
    Cluster& cluster = server.cluster;
    // First: a catch-up subscribes, and may move what is found.
    const bool connected = link_connected(server);
    auto found = cluster.subscribed.find(name);
    if (found == cluster.subscribed.end())
        return;
    if (connected)
        cluster.link->unsubscribe(found->second);
    else
        cluster.ended_while_away.push_back(found->second);
    cluster.subscribed.erase(found);
    count_subscriptions(server);
}

std::size_t held_size(std::string_view subject, std::string_view frame)
{
    return sizeof(HeldFrame) + subject.size() + frame.size();
}

// Holds a frame for the link, behind those held before it; past the bound,
// with what the link holds itself while it can be asked, it is dropped.
void hold(Server& server, std::string_view frame)
{
    Cluster& cluster = server.cluster;
    const std::size_t in_link = cluster.connected ? cluster.link->buffered_bytes() : 0;
    const std::size_t size = held_size(cluster.subject, frame);
    if (cluster.held_bytes + in_link + size > cluster.buffer_bytes) {
        drop_frames(server, ClusterDrop::buffer);
        return;
    }
    try {
        cluster.held.push_back({cluster.subject, std::string(frame)});
    } catch (const std::bad_alloc&) {
        drop_frames(server, ClusterDrop::buffer);
        return;
    }
    cluster.held_bytes += size;
    end_drops(server, ClusterDrop::buffer);
    count_held(server);
}

// The link closed for good: what it would have sent is lost.
void drop_held(Server& server)
{
    Cluster& cluster = server.cluster;
    if (!cluster.held.empty())
        drop_frames(server, ClusterDrop::link_down, cluster.held.size());
    cluster.held.clear();
    cluster.held_bytes = 0;
    count_held(server);
}

// Sends the held frames, oldest first, as far as the link takes them now;
// the rest wait for a later turn.
void send_held(Server& server)
{
    Cluster& cluster = server.cluster;
    while (!cluster.held.empty() && link_connected(server)) {
        const HeldFrame& next = cluster.held.front();
        const LinkPublish result = cluster.link->publish(next.subject, next.frame);
        if (result == LinkPublish::buffer_full)
            break;
        if (result == LinkPublish::sent) {
            cluster.published_in_turn = true;
            server.metrics.cluster.published++;
        } else {
            drop_frames(server, ClusterDrop::link_down);
        }
        cluster.held_bytes -= held_size(next.subject, next.frame);
        cluster.held.pop_front();
    }
    count_held(server);
}

void take_notice(Server& server, const LinkNotice& notice)
{
    Cluster& cluster = server.cluster;
    ClusterMetrics& metrics = server.metrics.cluster;
    switch (notice.kind) {
    case LinkNoticeKind::up:
        metrics.link_up = 1;
        metrics.reconnects += cluster.ever_up;
        cluster.ever_up = true;
        say(server, "cluster link up: " + notice.text);
        end_drops(server, ClusterDrop::link_down);
        break;
    case LinkNoticeKind::down:
        metrics.link_up = 0;
        say(server, "cluster link down: " + notice.text);
        break;
    case LinkNoticeKind::closed:
        metrics.link_up = 0;
        say(server, "cluster link down: " + notice.text + "; not tried again");
        drop_held(server);
        cluster.closed = true;
        break;
    case LinkNoticeKind::slow:
        drop_frames(server, ClusterDrop::slow, 0);
        break;
    case LinkNoticeKind::error:
        say(server, "cluster error: " + notice.text);
        break;
    }
}

// The link's drops since the last look are counted; a turn that took frames
// and found none ends a run of them.
void count_link_drops(Server& server, bool took_frames)
{
    Cluster& cluster = server.cluster;
    if (!cluster.episodes[static_cast<std::size_t>(ClusterDrop::slow)].active)
        return;
    const std::uint64_t dropped = cluster.link->messages_dropped();
    if (dropped > cluster.link_dropped)
        drop_frames(server, ClusterDrop::slow, dropped - cluster.link_dropped);
    else if (took_frames)
        end_drops(server, ClusterDrop::slow);
    cluster.link_dropped = dropped;
}

// A frame another switch published: exactly one whole valid frame, or it
// would run into the next one at the receiver.
void deliver(Server& server, const LinkMessage& message)
{
    Cluster& cluster = server.cluster;
    const std::string_view frame = message.data;
    if (frame.size() > FRAME_MAX || frame_length(frame) != frame.size() || !frame_is_valid(frame) ||
        !destination_of(cluster, message.subject, cluster.destination)) {
        drop_frames(server, ClusterDrop::invalid);
        return;
    }
    end_drops(server, ClusterDrop::invalid);
    server.metrics.cluster.received++;
    send_from_cluster(server, frame, cluster.destination);
}

} // namespace

void cluster_start(Server& server, std::string_view name, std::unique_ptr<ClusterLink> link,
                   std::size_t buffer_bytes)
{
    Cluster& cluster = server.cluster;
    cluster.link = std::move(link);
    cluster.buffer_bytes = buffer_bytes;
    cluster.ended_while_away.reserve(CLUSTER_SUBSCRIPTIONS_MAX);
    cluster.watcher = Watcher{
        .take_event = take_cluster_event,
        .owner = &cluster,
        .socket = INVALID_SOCKET_HANDLE,
        .kind = WatcherKind::cluster,
        .interest = {},
        .watched = false,
    };
    cluster.all_subject = std::string(name) + ".all";
    cluster.address_prefix = std::string(name) + ".a.";
    cluster.wildcard_subject = cluster.address_prefix + ">";
    cluster.credit_counted_ms = platform.monotonic_ms();
    server.registry.watch = {name_appeared, name_vanished, &server};
    server.metrics.cluster.joined = true;
}

void cluster_publish(Server& server, std::string_view frame, std::string_view destination)
{
    Cluster& cluster = server.cluster;
    if (!cluster.link)
        return;
    if (cluster.closed) {
        drop_frames(server, ClusterDrop::link_down);
        return;
    }
    // First: a catch-up builds the subjects it subscribes to in the same
    // place as this frame's.
    const bool connected = link_connected(server);
    if (destination.empty())
        cluster.subject = cluster.all_subject;
    else
        address_subject(cluster.subject, cluster, destination.substr(0, ADDRESS_NAME_MAX));
    // Behind the frames held, in order.
    if (!connected || !cluster.held.empty()) {
        hold(server, frame);
        send_held(server);
        return;
    }
    switch (cluster.link->publish(cluster.subject, frame)) {
    case LinkPublish::sent:
        cluster.published_in_turn = true;
        server.metrics.cluster.published++;
        end_drops(server, ClusterDrop::buffer);
        end_drops(server, ClusterDrop::link_down);
        break;
    case LinkPublish::buffer_full:
        drop_frames(server, ClusterDrop::buffer);
        break;
    case LinkPublish::down:
        drop_frames(server, ClusterDrop::link_down);
        break;
    }
}

void cluster_watch(Server& server)
{
    Cluster& cluster = server.cluster;
    LinkWatch changed;
    if (!cluster.link || !cluster.link->watch_changed(changed))
        return;
    Watcher& watcher = cluster.watcher;
    if (changed.socket != watcher.socket)
        unwatch(server, watcher);
    watcher.socket = changed.socket;
    // Without interest it leaves the poller: a socket that nats.c has shut
    // down would otherwise be reported hung up by every wait until it
    // reconnects.
    if (changed.socket == INVALID_SOCKET_HANDLE || (!changed.read && !changed.write)) {
        unwatch(server, watcher);
        return;
    }
    if (!watch(server, watcher, Interest{.read = changed.read, .write = changed.write}))
        say(server, "cluster link: the poller refused its socket");
}

void take_cluster_event(Server& server, Watcher&, const SocketEvent& event)
{
    server.cluster.readable = event.readable || event.hung_up || event.exception;
    server.cluster.writable = event.writable;
}

void cluster_take(Server& server)
{
    Cluster& cluster = server.cluster;
    if (!cluster.link)
        return;
    if (cluster.readable)
        cluster.link->socket_readable();
    if (cluster.writable)
        cluster.link->socket_writable();
    cluster.readable = cluster.writable = false;
    for (LinkNotice notice; cluster.link->next_notice(notice);)
        take_notice(server, notice);
    if (link_connected(server))
        send_held(server);
    const std::size_t taken = cluster.link->take_messages(
        CLUSTER_FRAMES_PER_TURN, [&server](const LinkMessage& message) { deliver(server, message); });
    cluster.frames_waiting = taken == CLUSTER_FRAMES_PER_TURN;
    count_link_drops(server, taken > 0);
    leave_wildcard_when_due(server, platform.monotonic_ms());
    count_subscriptions(server);
}

void cluster_flush(Server& server)
{
    Cluster& cluster = server.cluster;
    if (cluster.published_in_turn && link_connected(server))
        cluster.link->socket_writable();
    cluster.published_in_turn = false;
}

bool cluster_has_frames(const Server& server)
{
    return server.cluster.frames_waiting;
}

std::int64_t cluster_deadline_ms(const Server& server)
{
    const Cluster& cluster = server.cluster;
    return cluster.wildcard == NO_SUBSCRIPTION ? 0 : cluster.wildcard_since_ms + CLUSTER_WILDCARD_MS;
}

void cluster_stop(Server& server)
{
    Cluster& cluster = server.cluster;
    if (!cluster.link)
        return;
    // Only a connected link can write; one that is not keeps its frames
    // for a connection that will not come.
    const std::int64_t give_up_ms = platform.monotonic_ms() + CLUSTER_STOP_FLUSH_MS;
    while (link_connected(server) && (!cluster.held.empty() || cluster.link->buffered_bytes() > 0) &&
           platform.monotonic_ms() < give_up_ms) {
        send_held(server);
        cluster.link->socket_writable();
        sleep_ms(1);
    }
    server.registry.watch = {};
    cluster.subscribed.clear();
    unwatch(server, cluster.watcher);
    cluster.link.reset();
}
