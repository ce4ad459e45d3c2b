// The cluster link over nats.c, through its external event loop adapter:
// nats.c never reads or writes its socket on a thread of its own, but asks
// for it to be watched (attach, read, write, detach); the loop reads and
// writes by calling natsConnection_ProcessReadEvent/ProcessWriteEvent.
//
// A frame costs a thread's wake-up at each hand-over, and on two cores
// shared with nats-server and the clients, a wake-up is often a preemption
// of the loop. So where libnats has its message hook, each message is taken
// on the loop's thread as ProcessReadEvent reads it, and the delivery
// thread stays idle; and the messages done with are freed in batches (see
// SPENT_MESSAGES_MAX).
#include "platform/cluster_link.h"

#include <nats/nats.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <random>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_set>
#include <vector>

#ifdef QM_NATS_MESSAGE_HOOK
// Called by nats.c for every message, on the thread that reads the
// connection, in the order the messages came and before any subscription
// sees them; a hook that takes the message leaves null in its place.
// libnats exports it without declaring it in nats.h: the build looks for
// it, and goes without it where it is missing.
extern "C" {
using natsMsgFilter = void (*)(natsConnection* nc, natsMsg** message, void* closure);
void natsConn_setFilterWithClosure(natsConnection* nc, natsMsgFilter filter, void* closure);
}
#endif

namespace {

// Beyond a message's subject, headers and data, what it counts for among
// the bytes held: the library's bookkeeping around it.
constexpr std::size_t MESSAGE_OVERHEAD = 64;
// What a frame's HPUB line and origin header add to its own bytes, at most,
// among those held for the cluster while connected.
constexpr std::size_t PUBLISH_OVERHEAD = 768;
constexpr std::size_t URL_TEXT_SIZE = 512;
// nats.c frees each message it made (received or published) on a thread of
// its own, woken by the natsMsg_Destroy that finds it idle: a wake-up per
// frame. The messages done with are held and freed together once there are
// this many, or this many bytes of them; so only those whose size is known,
// headers and all (see on_message_read).
constexpr std::size_t SPENT_MESSAGES_MAX = 1024;
constexpr std::size_t SPENT_BYTES_MAX = 1u << 20;

// The library's last error on this thread, without the place in its
// source that it starts with ("(conn.c:2088): ").
std::string status_text(natsStatus status)
{
    const char* last = nats_GetLastError(nullptr);
    std::string text = last && *last ? last : natsStatus_GetText(status);
    if (const std::size_t place = text.find("): "); text.starts_with('(') && place != std::string::npos)
        text.erase(0, place + 3);
    return text;
}

// A URL as the log may show it: without the user and password that the
// operator may have written into it. The host follows the last '@' before
// the path, as nats.c reads it, so a password may hold an '@' too.
std::string without_user_info(std::string url)
{
    const std::size_t scheme = url.find("://");
    const std::size_t host = scheme == std::string::npos ? 0 : scheme + 3;
    const std::size_t path = std::min(url.find('/', host), url.size());
    const std::size_t at = path > host ? url.rfind('@', path - 1) : std::string::npos;
    if (at != std::string::npos && at >= host)
        url.erase(host, at + 1 - host);
    return url;
}

std::string connected_url(natsConnection* nc)
{
    char url[URL_TEXT_SIZE] = "";
    natsConnection_GetConnectedUrl(nc, url, sizeof url);
    return without_user_info(url);
}

std::vector<std::string> split_servers(const std::string& servers)
{
    std::vector<std::string> urls;
    std::size_t start = 0;
    while (start <= servers.size()) {
        const std::size_t comma = std::min(servers.find(',', start), servers.size());
        std::string url = servers.substr(start, comma - start);
        url.erase(0, url.find_first_not_of(' '));
        url.erase(url.find_last_not_of(' ') + 1);
        if (!url.empty())
            urls.push_back(url);
        start = comma + 1;
    }
    return urls;
}

// A queue group of this process alone: a message that matches several of
// its subscriptions (an address's and the wildcard) comes once, and no other
// switch, whatever its name, shares the group.
std::string private_queue_group()
{
    std::random_device random;
    std::uniform_int_distribution<unsigned long long> draw;
    char group[32];
    std::snprintf(group, sizeof group, "qm-%016llx", draw(random));
    return group;
}

// A message, and the bytes it counts for while it is held.
struct Held {
    natsMsg* message;
    std::size_t bytes;
};

// What nats.c's threads hand to the loop: the socket to watch, the messages
// and the notices, under one lock. nats.c may call in until its own threads
// have ended, which no call of its API waits for while another connection
// may live in the process; so a relay is never freed while the process
// runs, only emptied and marked closed (see retire).
struct Relay {
    Relay(std::function<void()> wake_loop, std::size_t bound)
        : wake(std::move(wake_loop)), buffer_bytes(bound), loop_thread(std::this_thread::get_id())
    {
    }

    const std::function<void()> wake;
    const std::size_t buffer_bytes;
    const std::thread::id loop_thread;

    std::mutex lock;
    bool closed = false;
    // As the connect left it: the loop takes it from here.
    natsConnection* connection = nullptr;
    // The socket to watch: a duplicate of nats.c's, so that its number can
    // never name another socket while the loop still watches it, whenever
    // nats.c closes its own.
    int socket = -1;
    bool want_read = false;
    bool want_write = false;
    bool watch_changed = false;
    // nats.c polls its socket through us: from the attach of a connection
    // it has made (handshake done) until it stops reading it to reconnect,
    // or closes. Told with the connection's lock held, by the thread that
    // holds it; outside of that span a call may wait on the lock for a
    // whole connect attempt.
    std::atomic<bool> polling = false;
    std::vector<int> retired_sockets;
    std::deque<Held> inbound;
    std::size_t inbound_bytes = 0;
    // For the hook, on the loop's thread: nats.c's count of the bytes of the
    // messages it has read (headers and data) as last seen, and where it
    // is copied to be seen.
    std::uint64_t bytes_read = 0;
    natsStatistics* statistics = nullptr;
    std::uint64_t dropped = 0;
    bool dropping = false;
    std::deque<LinkNotice> notices;
    // The link's state as the loop was last told it: each change is told
    // once, whichever of nats.c's threads sees it first.
    enum class Told { nothing, up, down } told = Told::nothing;

    // Called with the lock held, so that no wake-up comes once the link has
    // closed, when the loop's wake-up may be gone. A change made inside one
    // of the loop's own calls needs none: the loop looks after each.
    void wake_loop(bool even_on_loop = false) const
    {
        if (!closed && (even_on_loop || std::this_thread::get_id() != loop_thread))
            wake();
    }

    void notify(LinkNoticeKind kind, std::string text)
    {
        std::lock_guard<std::mutex> held(lock);
        if (closed)
            return;
        notices.push_back({kind, std::move(text)});
        wake_loop(true);
    }

    // Called with the lock held. An "up" that comes once the connection
    // was lost again is stale: the loss was told, or will be.
    void tell_state(bool up, std::string text)
    {
        const Told now = up ? Told::up : Told::down;
        if (closed || told == now || (up && !polling))
            return;
        told = now;
        notices.push_back({up ? LinkNoticeKind::up : LinkNoticeKind::down, std::move(text)});
        wake_loop(true);
    }

    void tell_state_now(bool up, std::string text)
    {
        std::lock_guard<std::mutex> held(lock);
        tell_state(up, std::move(text));
    }
};

// The relays of links that have closed: reachable, so that no leak check
// takes them for lost, and never freed, since nats.c may still call in.
// One per link the process ever opened.
std::mutex retired_lock;
std::vector<Relay*> retired_relays;

// Empties the relay and leaves it for good; what nats.c says afterwards
// goes nowhere.
void retire(Relay* relay)
{
    std::deque<Held> messages;
    std::vector<int> sockets;
    {
        std::lock_guard<std::mutex> held(relay->lock);
        relay->closed = true;
        messages.swap(relay->inbound);
        relay->inbound_bytes = 0;
        sockets.swap(relay->retired_sockets);
        if (relay->socket >= 0)
            sockets.push_back(relay->socket);
        relay->socket = -1;
    }
    for (const Held& held : messages)
        natsMsg_Destroy(held.message);
    for (int s : sockets)
        ::close(s);
    // Only the hook uses it, inside the reads the loop no longer makes.
    natsStatistics_Destroy(relay->statistics);
    relay->statistics = nullptr;
    std::lock_guard<std::mutex> held(retired_lock);
    retired_relays.push_back(relay);
}

Relay* relay_of(void* pointer)
{
    return static_cast<Relay*>(pointer);
}

// nats.c's callbacks: on its threads or, inside one of our calls, on the
// loop's. The adapter's are made with the connection's lock held.

natsStatus on_attach(void** user_data, void* loop, natsConnection*, natsSock nats_socket)
{
    Relay* relay = relay_of(loop);
    *user_data = relay;
    const int duplicate = ::dup(nats_socket);
    if (duplicate < 0)
        return NATS_SYS_ERROR;
    std::lock_guard<std::mutex> held(relay->lock);
    if (relay->closed) {
        ::close(duplicate);
        return NATS_OK;
    }
    if (relay->socket >= 0)
        relay->retired_sockets.push_back(relay->socket);
    relay->socket = duplicate;
    relay->want_read = true;
    relay->want_write = false;
    relay->watch_changed = true;
    relay->polling = true;
    relay->wake_loop();
    return NATS_OK;
}

natsStatus change_interest(Relay* relay, bool Relay::*interest, bool add)
{
    std::lock_guard<std::mutex> held(relay->lock);
    relay->*interest = add;
    relay->watch_changed = true;
    relay->wake_loop();
    return NATS_OK;
}

// nats.c stops reading its socket only when it gives the connection up, to
// reconnect: told at once, from inside the call that found it lost. Its
// disconnected callback would come only once it could take the
// connection's lock, after the first try to reconnect (seconds against a
// server that never answers), and with that try's error.
natsStatus on_read(void* user_data, bool add)
{
    Relay* relay = relay_of(user_data);
    std::lock_guard<std::mutex> held(relay->lock);
    relay->polling = add;
    if (!add)
        relay->tell_state(false, "connection lost");
    relay->want_read = add;
    relay->watch_changed = true;
    relay->wake_loop();
    return NATS_OK;
}

natsStatus on_write(void* user_data, bool add)
{
    return change_interest(relay_of(user_data), &Relay::want_write, add);
}

natsStatus on_detach(void* user_data)
{
    Relay* relay = relay_of(user_data);
    std::lock_guard<std::mutex> held(relay->lock);
    if (relay->socket >= 0)
        relay->retired_sockets.push_back(relay->socket);
    relay->socket = -1;
    relay->want_read = relay->want_write = false;
    relay->watch_changed = true;
    relay->polling = false;
    relay->wake_loop();
    return NATS_OK;
}

// Queues a message for the loop, in the order the messages came off the
// connection: on the loop's thread from the hook, else on the library's one
// delivery thread, which serves every subscription alike.
void relay_message(Relay* relay, natsMsg* message, std::size_t size)
{
    {
        std::lock_guard<std::mutex> held(relay->lock);
        if (!relay->closed && relay->inbound_bytes + size <= relay->buffer_bytes) {
            relay->dropping = false;
            relay->inbound.push_back({message, size});
            relay->inbound_bytes += size;
            // One wake-up for what comes before the loop takes any; none
            // from the hook, inside the loop's own read.
            if (relay->inbound.size() == 1)
                relay->wake_loop();
            return;
        }
        if (!relay->closed) {
            relay->dropped++;
            if (!relay->dropping) {
                relay->notices.push_back({LinkNoticeKind::slow, ""});
                relay->wake_loop(true);
            }
            relay->dropping = true;
        }
    }
    natsMsg_Destroy(message);
}

// Its headers, which nats.c does not measure here, are not counted: the
// loop frees such a message as soon as it has taken it.
void on_message(natsConnection*, natsSubscription*, natsMsg* message, void* closure)
{
    const std::size_t size = std::strlen(natsMsg_GetSubject(message)) +
                             static_cast<std::size_t>(natsMsg_GetDataLength(message)) + MESSAGE_OVERHEAD;
    relay_message(relay_of(closure), message, size);
}

#ifdef QM_NATS_MESSAGE_HOOK
// A peer's headers may make up nearly all that NATS allows a message, and
// nats.c tells no message's header size; but it has just added this one's
// bytes, headers and data, to its count of those read: the step is its size.
void on_message_read(natsConnection* nc, natsMsg** message, void* closure)
{
    Relay* relay = relay_of(closure);
    std::uint64_t read = relay->bytes_read;
    if (natsConnection_GetStats(nc, relay->statistics) == NATS_OK)
        natsStatistics_GetCounts(relay->statistics, nullptr, &read, nullptr, nullptr, nullptr);
    const std::size_t size =
        std::max<std::size_t>(read - relay->bytes_read, static_cast<std::size_t>(natsMsg_GetDataLength(*message)));
    relay->bytes_read = read;
    relay_message(relay, *message, size + std::strlen(natsMsg_GetSubject(*message)) + MESSAGE_OVERHEAD);
    *message = nullptr;
}
#endif

// Called once nats.c has (re)connected, on a thread of its own, when the
// connection may have been lost again already.
void on_connected(natsConnection* nc, void* closure)
{
    relay_of(closure)->tell_state_now(true, connected_url(nc));
}

// nats.c gave the connection up for good (a server that refused our
// credentials twice running), or we closed it, when no one listens.
void on_closed(natsConnection* nc, void* closure)
{
    const char* text = nullptr;
    const natsStatus status = natsConnection_GetLastError(nc, &text);
    relay_of(closure)->notify(LinkNoticeKind::closed, text && *text ? text : natsStatus_GetText(status));
}

void on_error(natsConnection* nc, natsSubscription*, natsStatus status, void* closure)
{
    if (status == NATS_SLOW_CONSUMER) {
        relay_of(closure)->notify(LinkNoticeKind::slow, "");
        return;
    }
    const char* text = nullptr;
    natsConnection_GetLastError(nc, &text);
    relay_of(closure)->notify(LinkNoticeKind::error, text && *text ? text : natsStatus_GetText(status));
}

class NatsLink final : public ClusterLink {
public:
    NatsLink(const ClusterLinkSettings& link_settings, natsOptions* nats_options)
        : settings(link_settings), queue_group(private_queue_group()), options(nats_options),
          relay(new Relay(link_settings.wake, link_settings.buffer_bytes))
    {
    }
    ~NatsLink() override;

    bool configure(std::string* error);
    bool start(std::string* error);

    bool connected() override;
    bool watch_changed(LinkWatch& watch) override;
    void socket_readable() override;
    void socket_writable() override;
    bool next_notice(LinkNotice& notice) override;
    std::size_t take_messages(std::size_t most,
                              const std::function<void(const LinkMessage&)>& take) override;
    LinkPublish publish(const std::string& subject, std::string_view data) override;
    std::size_t buffered_bytes() override;
    LinkSubscription subscribe(const std::string& subject) override;
    void unsubscribe(LinkSubscription subscription) override;
    std::uint64_t messages_dropped() override;

private:
    void connect_off_loop();
    natsConnection* connection();
    void spend(natsMsg* message, std::size_t bytes);
    void free_spent();

    const ClusterLinkSettings settings;
    const std::string queue_group;
    natsOptions* const options;
    Relay* const relay;
    std::thread connector;
    natsConnection* nc = nullptr;
    // Reported to the loop at the last change: closed at the next, once the
    // loop has stopped watching them.
    std::vector<int> sockets_to_close;
    std::vector<Held> taking;
    // Whether the messages come through the hook, sized; those that come
    // through the delivery thread are freed as soon as they are taken.
    bool hooked = false;
    // Done with, and not yet freed: at most SPENT_MESSAGES_MAX of them, and
    // SPENT_BYTES_MAX bytes.
    std::vector<natsMsg*> spent;
    std::size_t spent_bytes = 0;
    std::unordered_set<natsSubscription*> subscriptions;
    // What the library dropped for the subscriptions that have ended.
    std::uint64_t dropped_by_ended = 0;
};

NatsLink::~NatsLink()
{
    if (connector.joinable())
        connector.join();
    free_spent();
    connection();
    for (natsSubscription* subscription : subscriptions)
        natsSubscription_Destroy(subscription);
    if (nc) {
        natsConnection_Close(nc);
        natsConnection_Destroy(nc);
    }
    natsOptions_Destroy(options);
    for (int s : sockets_to_close)
        ::close(s);
    retire(relay);
}

bool NatsLink::configure(std::string* error)
{
    const std::vector<std::string> urls = split_servers(settings.servers);
    std::vector<const char*> url_texts;
    for (const std::string& url : urls)
        url_texts.push_back(url.c_str());
    const int bound = static_cast<int>(std::min<std::size_t>(settings.buffer_bytes, INT_MAX));
    natsStatus status = natsOptions_SetServers(options, url_texts.data(), static_cast<int>(url_texts.size()));
    if (status == NATS_OK && !settings.credentials_file.empty())
        status = natsOptions_SetUserCredentialsFromFiles(options, settings.credentials_file.c_str(), nullptr);
    if (status == NATS_OK && !settings.ca_file.empty())
        status = natsOptions_LoadCATrustedCertificates(options, settings.ca_file.c_str());
    if (status == NATS_OK)
        status = natsOptions_SetName(options, settings.node_name.c_str());
    // The switch has routed its own frames to its own clients already.
    if (status == NATS_OK)
        status = natsOptions_SetNoEcho(options, true);
    // Without the hook, one delivery thread for every subscription (nats.c's
    // pool holds one unless told otherwise), so messages come in the order
    // they came off the connection: with a thread each, a frame to an
    // address and a frame to all from one sender could overtake each other.
    if (status == NATS_OK)
        status = natsOptions_UseGlobalMessageDelivery(options, true);
    // Each publish asks at once for the socket to be watched for writing,
    // so what a turn published goes out at its end: with an event loop
    // nats.c has no flusher thread, and would wait for 32 KiB to gather.
    if (status == NATS_OK)
        status = natsOptions_SetSendAsap(options, true);
    if (status == NATS_OK)
        status = natsOptions_SetEventLoop(options, relay, on_attach, on_read, on_write, on_detach);
    if (status == NATS_OK)
        status = natsOptions_SetMaxReconnect(options, -1);
    if (status == NATS_OK)
        status = natsOptions_SetReconnectBufSize(options, bound);
    if (status == NATS_OK)
        status = natsOptions_SetReconnectedCB(options, on_connected, relay);
    if (status == NATS_OK)
        status = natsOptions_SetClosedCB(options, on_closed, relay);
    if (status == NATS_OK)
        status = natsOptions_SetErrorHandler(options, on_error, relay);
    if (status != NATS_OK)
        *error = status_text(status);
    return status == NATS_OK;
}

bool NatsLink::start(std::string* error)
{
    try {
        connector = std::thread([this] { connect_off_loop(); });
    } catch (const std::system_error& failure) {
        *error = std::string("cannot start a thread to connect: ") + failure.what();
        return false;
    }
    return true;
}

// natsConnection_Connect blocks (a name to resolve, a TCP connect, the
// server's INFO and our CONNECT), so it runs here. A first round of the
// servers says why it failed, which a connect that retries on its own
// would not; then nats.c goes on trying on a thread of its own, and says
// when it gets through (which may be before the retrying connect returns:
// so the failure is told first).
void NatsLink::connect_off_loop()
{
    natsConnection* made = nullptr;
    natsStatus status = natsOptions_SetRetryOnFailedConnect(options, false, nullptr, nullptr);
    if (status == NATS_OK)
        status = natsConnection_Connect(&made, options);
    if (status == NATS_OK) {
        relay->tell_state_now(true, connected_url(made));
    } else {
        relay->tell_state_now(false, status_text(status));
        status = natsOptions_SetRetryOnFailedConnect(options, true, on_connected, relay);
        if (status == NATS_OK)
            status = natsConnection_Connect(&made, options);
        if (status == NATS_OK)
            relay->tell_state_now(true, connected_url(made));
        else if (status != NATS_NOT_YET_CONNECTED)
            relay->notify(LinkNoticeKind::closed, status_text(status));
    }
    {
        std::lock_guard<std::mutex> held(relay->lock);
        relay->connection = made;
        relay->wake_loop(true);
    }
    nats_ReleaseThreadMemory();
}

natsConnection* NatsLink::connection()
{
    if (!nc) {
        std::lock_guard<std::mutex> held(relay->lock);
        nc = relay->connection;
#ifdef QM_NATS_MESSAGE_HOOK
        // Before the first subscription, which only the loop makes, and so
        // before the first message.
        if (nc && natsStatistics_Create(&relay->statistics) == NATS_OK) {
            natsConn_setFilterWithClosure(nc, on_message_read, relay);
            hooked = true;
        }
#endif
    }
    return nc;
}

void NatsLink::spend(natsMsg* message, std::size_t bytes)
{
    if (!message)
        return;
    try {
        spent.push_back(message);
    } catch (const std::bad_alloc&) {
        natsMsg_Destroy(message);
        return;
    }
    spent_bytes += bytes;
    if (spent.size() >= SPENT_MESSAGES_MAX || spent_bytes >= SPENT_BYTES_MAX)
        free_spent();
}

void NatsLink::free_spent()
{
    for (natsMsg* message : spent)
        natsMsg_Destroy(message);
    spent.clear();
    spent_bytes = 0;
}

bool NatsLink::connected()
{
    return connection() && relay->polling;
}

bool NatsLink::watch_changed(LinkWatch& watch)
{
    for (int s : sockets_to_close)
        ::close(s);
    sockets_to_close.clear();
    std::lock_guard<std::mutex> held(relay->lock);
    if (!relay->watch_changed)
        return false;
    relay->watch_changed = false;
    sockets_to_close.swap(relay->retired_sockets);
    watch.socket = relay->socket < 0 ? INVALID_SOCKET_HANDLE : static_cast<socket_handle>(relay->socket);
    watch.read = relay->want_read;
    watch.write = relay->want_write;
    return true;
}

// A report that comes once another of nats.c's threads gave the connection
// up (its pings went unanswered) is let pass.
void NatsLink::socket_readable()
{
    if (connected())
        natsConnection_ProcessReadEvent(nc);
}

// nats.c takes a write of nothing for a closed connection, and reconnects:
// a report that comes after its buffer went out is let pass.
void NatsLink::socket_writable()
{
    if (connected() && natsConnection_Buffered(nc) > 0)
        natsConnection_ProcessWriteEvent(nc);
}

bool NatsLink::next_notice(LinkNotice& notice)
{
    std::lock_guard<std::mutex> held(relay->lock);
    if (relay->notices.empty())
        return false;
    notice = std::move(relay->notices.front());
    relay->notices.pop_front();
    return true;
}

std::size_t NatsLink::take_messages(std::size_t most,
                                    const std::function<void(const LinkMessage&)>& take)
{
    taking.clear();
    {
        std::lock_guard<std::mutex> held(relay->lock);
        while (!relay->inbound.empty() && taking.size() < most) {
            taking.push_back(relay->inbound.front());
            relay->inbound.pop_front();
            relay->inbound_bytes -= taking.back().bytes;
        }
    }
    for (const Held& held : taking) {
        natsMsg* message = held.message;
        take(LinkMessage{natsMsg_GetSubject(message),
                         std::string_view(natsMsg_GetData(message),
                                          static_cast<std::size_t>(natsMsg_GetDataLength(message)))});
        if (hooked)
            spend(message, held.bytes);
        else
            natsMsg_Destroy(message);
    }
    return taking.size();
}

// While connected nats.c's buffer grows without limit, so the bound is kept
// here; while it reconnects, its reconnect buffer (of the same size) refuses
// what does not fit.
LinkPublish NatsLink::publish(const std::string& subject, std::string_view data)
{
    natsConnection* c = connection();
    if (!c)
        return LinkPublish::down;
    const int buffered = natsConnection_Buffered(c);
    if (buffered < 0)
        return LinkPublish::down;
    if (static_cast<std::size_t>(buffered) + data.size() + subject.size() + PUBLISH_OVERHEAD >
        settings.buffer_bytes)
        return LinkPublish::buffer_full;
    natsMsg* message = nullptr;
    natsStatus status = natsMsg_Create(&message, subject.c_str(), nullptr, data.data(),
                                       static_cast<int>(data.size()));
    if (status == NATS_OK)
        status = natsMsgHeader_Set(message, ORIGIN_HEADER, settings.node_name.c_str());
    if (status == NATS_OK)
        status = natsConnection_PublishMsg(c, message);
    spend(message, subject.size() + data.size() + std::strlen(ORIGIN_HEADER) + settings.node_name.size() +
                       MESSAGE_OVERHEAD);
    switch (status) {
    case NATS_OK:
        return LinkPublish::sent;
    case NATS_INSUFFICIENT_BUFFER:
    case NATS_NO_MEMORY:
        return LinkPublish::buffer_full;
    default:
        // Among them NATS_NO_SERVER_SUPPORT: before the first connect no
        // server has said that it takes headers, and nats.c will not hold
        // a message with one.
        return LinkPublish::down;
    }
}

std::size_t NatsLink::buffered_bytes()
{
    natsConnection* c = connection();
    const int buffered = c ? natsConnection_Buffered(c) : 0;
    return buffered > 0 ? static_cast<std::size_t>(buffered) : 0;
}

LinkSubscription NatsLink::subscribe(const std::string& subject)
{
    natsConnection* c = connection();
    if (!c)
        return NO_SUBSCRIPTION;
    natsSubscription* subscription = nullptr;
    if (natsConnection_QueueSubscribe(&subscription, c, subject.c_str(), queue_group.c_str(),
                                      on_message, relay) != NATS_OK)
        return NO_SUBSCRIPTION;
    // Without the hook, a message waits in the library only until its
    // delivery thread hands it on to the loop's queue, which holds the
    // bound; past the same bound here it is dropped, and said.
    const int bound = static_cast<int>(std::min<std::size_t>(settings.buffer_bytes, INT_MAX));
    natsSubscription_SetPendingLimits(subscription, -1, bound);
    try {
        subscriptions.insert(subscription);
    } catch (const std::bad_alloc&) {
        natsSubscription_Unsubscribe(subscription);
        natsSubscription_Destroy(subscription);
        return NO_SUBSCRIPTION;
    }
    return reinterpret_cast<LinkSubscription>(subscription);
}

void NatsLink::unsubscribe(LinkSubscription handle)
{
    auto* subscription = reinterpret_cast<natsSubscription*>(handle);
    auto found = subscriptions.find(subscription);
    if (found == subscriptions.end())
        return;
    std::int64_t dropped = 0;
    if (natsSubscription_GetDropped(subscription, &dropped) == NATS_OK && dropped > 0)
        dropped_by_ended += static_cast<std::uint64_t>(dropped);
    natsSubscription_Unsubscribe(subscription);
    natsSubscription_Destroy(subscription);
    subscriptions.erase(found);
}

// Costs a look at every subscription.
std::uint64_t NatsLink::messages_dropped()
{
    std::uint64_t total = dropped_by_ended;
    for (natsSubscription* subscription : subscriptions) {
        std::int64_t dropped = 0;
        if (natsSubscription_GetDropped(subscription, &dropped) == NATS_OK && dropped > 0)
            total += static_cast<std::uint64_t>(dropped);
    }
    std::lock_guard<std::mutex> held(relay->lock);
    return total + relay->dropped;
}

} // namespace

bool cluster_link_available()
{
    return true;
}

const char* cluster_link_unavailable_reason()
{
    return "";
}

std::string cluster_host_name()
{
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0)
        return "";
    return name;
}

std::unique_ptr<ClusterLink> cluster_link_open(const ClusterLinkSettings& settings,
                                               std::string* error)
{
    natsOptions* options = nullptr;
    if (natsOptions_Create(&options) != NATS_OK) {
        *error = "no memory for the NATS options";
        return nullptr;
    }
    auto link = std::make_unique<NatsLink>(settings, options);
    if (!link->configure(error) || !link->start(error))
        return nullptr;
    return link;
}
