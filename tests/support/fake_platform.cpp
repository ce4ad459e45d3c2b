#include "tests/support/fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

FakePlatform* fake;

std::time_t fake_now()
{
    return fake->now;
}

bool readable(socket_handle sock)
{
    if (sock == fake->accepting_listener)
        return !fake->pending_accepts.empty();
    if (sock == FakePlatform::LISTENER)
        return false;
    auto found = fake->sockets.find(sock);
    if (found == fake->sockets.end())
        return false;
    const FakeSocket& s = found->second;
    return !s.incoming.empty() || s.peer_closed || s.recv_error != 0;
}

// Room to send, or a failure to report: the next planned send is not
// refused for want of room, or without a plan the buffer has room.
bool writable(const FakeSocket& s)
{
    if (s.send_plan.empty())
        return s.send_room > 0;
    const int next = s.send_plan.front();
    return next != -WSAEWOULDBLOCK && next != -WSAENOBUFS;
}

bool excepted(socket_handle sock)
{
    if (sock == FakePlatform::LISTENER)
        return fake->listener_exception;
    auto found = fake->sockets.find(sock);
    return found != fake->sockets.end() && found->second.exception;
}

poller_handle fake_open_poller()
{
    return 1;
}

void fake_close_poller(poller_handle) {}

int fake_watch(poller_handle, socket_handle sock, Interest interest, Watcher* watcher)
{
    FakeSocket& s = fake->sockets[sock];
    s.watched = true;
    s.read_wanted = interest.read;
    s.write_wanted = interest.write;
    s.watcher = watcher;
    return 0;
}

void fake_unwatch(poller_handle, socket_handle sock)
{
    fake->sockets[sock].watched = false;
}

int fake_wait(poller_handle, SocketEvent* events, int capacity, long timeout_us)
{
    fake->wait_calls++;
    fake->last_timeout_us = timeout_us;
    fake->last_read_offer.clear();
    fake->last_write_offer.clear();
    fake->last_except_offer.clear();
    for (const auto& [sock, s] : fake->sockets) {
        if (!s.watched)
            continue;
        fake->last_except_offer.push_back(sock);
        if (s.read_wanted)
            fake->last_read_offer.push_back(sock);
        if (s.write_wanted)
            fake->last_write_offer.push_back(sock);
    }
    if (fake->wait_fails) {
        sock_set_last_error(WSAENOTSOCK);
        return -1;
    }
    int stored = 0;
    for (const auto& [sock, s] : fake->sockets) {
        bool hung_up = s.watched && s.hung_up;
        bool read = s.watched && s.read_wanted && (readable(sock) || hung_up);
        bool write = s.watched && s.write_wanted && writable(s);
        bool exception = s.watched && excepted(sock);
        if ((read || write || exception || hung_up) && stored < capacity)
            events[stored++] = SocketEvent{s.watcher, read, write, exception, hung_up};
    }
    return stored;
}

socket_handle fake_accept(socket_handle listener, PeerAddress* peer)
{
    if (listener != fake->accepting_listener) {
        sock_set_last_error(WSAEWOULDBLOCK);
        return INVALID_SOCKET_HANDLE;
    }
    if (fake->accept_error != 0) {
        sock_set_last_error(fake->accept_error);
        return INVALID_SOCKET_HANDLE;
    }
    if (fake->pending_accepts.empty()) {
        sock_set_last_error(WSAEWOULDBLOCK);
        return INVALID_SOCKET_HANDLE;
    }
    socket_handle sock = fake->pending_accepts.front();
    fake->pending_accepts.pop_front();
    *peer = fake->accept_peer.value_or(PeerAddress{{127, 0, 0, static_cast<std::uint8_t>(sock % 250 + 1)}, 40000, false});
    return sock;
}

int fake_recv(socket_handle sock, char* buffer, int size)
{
    FakeSocket& s = fake->sockets[sock];
    if (s.recv_error != 0) {
        sock_set_last_error(s.recv_error);
        return -1;
    }
    if (s.incoming.empty()) {
        if (s.peer_closed)
            return 0;
        sock_set_last_error(WSAEWOULDBLOCK);
        return -1;
    }
    auto n = std::min<std::size_t>(static_cast<std::size_t>(size), s.incoming.size());
    std::memcpy(buffer, s.incoming.data(), n);
    s.incoming.erase(0, n);
    return static_cast<int>(n);
}

int fake_send(socket_handle sock, const char* data, int size, int)
{
    FakeSocket& s = fake->sockets[sock];
    s.send_calls++;
    s.largest_offer = std::max(s.largest_offer, static_cast<std::size_t>(size));
    int allowed = size;
    if (!s.send_plan.empty()) {
        int step = s.send_plan.front();
        s.send_plan.pop_front();
        if (step < 0) {
            sock_set_last_error(-step);
            return -1;
        }
        allowed = std::min(size, step);
    } else {
        allowed = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(size), s.send_room));
        if (allowed == 0) {
            sock_set_last_error(WSAEWOULDBLOCK);
            return -1;
        }
        if (s.send_room != SIZE_MAX)
            s.send_room -= static_cast<std::size_t>(allowed);
    }
    s.sent.append(data, static_cast<std::size_t>(allowed));
    return allowed;
}

int fake_close(socket_handle sock)
{
    fake->closed_order.push_back(sock);
    FakeSocket& s = fake->sockets[sock];
    s.closed = true;
    // A real poller would go on naming a closed socket's owner, or forget it
    // silently: either way the server must unwatch first.
    if (s.watched)
        fake->closed_while_watched++;
    return 0;
}

int fake_set_nonblocking(socket_handle)
{
    return 0;
}

std::int64_t fake_monotonic_ms()
{
    return fake->now_ms;
}

int fake_lookup_start(Resolver*, const PeerAddress*, void* owner)
{
    if (fake->lookups_fail)
        return -1;
    NameLookup answer{owner, !fake->host_name.empty(), {}};
    std::strncpy(answer.host, fake->host_name.c_str(), sizeof answer.host - 1);
    (fake->lookups_hang ? fake->hanging_lookups : fake->finished_lookups).push_back(answer);
    return 0;
}

int fake_lookup_collect(Resolver*, NameLookup* answers, int capacity)
{
    int n = 0;
    while (n < capacity && !fake->finished_lookups.empty()) {
        answers[n++] = fake->finished_lookups.front();
        fake->finished_lookups.pop_front();
    }
    return n;
}

void fake_lookup_cancel(Resolver*, void* owner)
{
    auto mine = [owner](const NameLookup& a) { return a.owner == owner; };
    std::erase_if(fake->finished_lookups, mine);
    std::erase_if(fake->hanging_lookups, mine);
}

bool allocation_fails()
{
    long number = ++fake->allocation_calls;
    return fake->fail_all_allocations || number == fake->fail_allocation_number;
}

void* fake_alloc(std::size_t size)
{
    if (allocation_fails())
        return nullptr;
    fake->live_blocks++;
    return std::malloc(size);
}

void* fake_resize(void* block, std::size_t size)
{
    if (allocation_fails())
        return nullptr;
    if (!block)
        fake->live_blocks++;
    return std::realloc(block, size);
}

void fake_release(void* block)
{
    if (block)
        fake->live_blocks--;
    std::free(block);
}

} // namespace

FakePlatform::FakePlatform() : saved(platform)
{
    fake = this;
    platform = PlatformCalls{
        .now = fake_now,
        .open_poller = fake_open_poller,
        .close_poller = fake_close_poller,
        .watch = fake_watch,
        .unwatch = fake_unwatch,
        .wait = fake_wait,
        .accept = fake_accept,
        .recv = fake_recv,
        .send = fake_send,
        .close = fake_close,
        .set_nonblocking = fake_set_nonblocking,
        .monotonic_ms = fake_monotonic_ms,
        .lookup_start = fake_lookup_start,
        .lookup_collect = fake_lookup_collect,
        .lookup_cancel = fake_lookup_cancel,
        .alloc = fake_alloc,
        .resize = fake_resize,
        .release = fake_release,
    };
}

FakePlatform::~FakePlatform()
{
    platform = saved;
    fake = nullptr;
}

socket_handle FakePlatform::new_socket()
{
    socket_handle sock = next_handle++;
    sockets[sock];
    return sock;
}

socket_handle FakePlatform::queue_connection()
{
    socket_handle sock = new_socket();
    pending_accepts.push_back(sock);
    return sock;
}

Session* FakePlatform::link_session(Server& server, SessionState state)
{
    auto* session = static_cast<Session*>(mem_zalloc(sizeof(Session)));
    if (!session)
        return nullptr;
    session->transport.socket = new_socket();
    session->transport.layer = &plain_transport();
    session->state = state;
    session->input.last_ms = session->connected_ms = now_ms;
    std::snprintf(session->peer_name, sizeof session->peer_name, "[127.0.0.%d]",
                  static_cast<int>(session->transport.socket % 250));
    if (!admit_session(server, *session)) {
        platform.release(session);
        return nullptr;
    }
    return session;
}
