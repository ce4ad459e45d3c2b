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
    if (sock == FakePlatform::LISTENER)
        return !fake->pending_accepts.empty();
    auto found = fake->sockets.find(sock);
    if (found == fake->sockets.end())
        return false;
    const FakeSocket& s = found->second;
    return !s.incoming.empty() || s.peer_closed || s.recv_error != 0;
}

bool excepted(socket_handle sock)
{
    if (sock == FakePlatform::LISTENER)
        return fake->listener_exception;
    auto found = fake->sockets.find(sock);
    return found != fake->sockets.end() && found->second.exception;
}

int keep(SocketSet* set, bool (*reported)(socket_handle), std::vector<socket_handle>* offer)
{
    offer->assign(set->handles, set->handles + set->count);
    unsigned kept = 0;
    for (unsigned i = 0; i < set->count; i++)
        if (reported(set->handles[i]))
            set->handles[kept++] = set->handles[i];
    set->count = kept;
    return static_cast<int>(kept);
}

int fake_select(SocketSet* read_set, SocketSet* except_set, long timeout_us)
{
    fake->select_calls++;
    fake->last_timeout_us = timeout_us;
    if (fake->select_fails) {
        sock_set_last_error(WSAENOTSOCK);
        return -1;
    }
    int n = keep(read_set, readable, &fake->last_read_offer);
    return n + keep(except_set, excepted, &fake->last_except_offer);
}

socket_handle fake_accept(socket_handle, PeerAddress* peer)
{
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
    *peer = PeerAddress{{127, 0, 0, static_cast<std::uint8_t>(sock % 250 + 1)}, 40000};
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
    int allowed = size;
    if (!s.send_plan.empty()) {
        int step = s.send_plan.front();
        s.send_plan.pop_front();
        if (step < 0) {
            sock_set_last_error(-step);
            return -1;
        }
        allowed = std::min(size, step);
    }
    s.sent.append(data, static_cast<std::size_t>(allowed));
    return allowed;
}

int fake_close(socket_handle sock)
{
    fake->closed_order.push_back(sock);
    if (sock != FakePlatform::LISTENER)
        fake->sockets[sock].closed = true;
    return 0;
}

int fake_set_nonblocking(socket_handle)
{
    return 0;
}

int fake_reverse_lookup(const PeerAddress*, char* host, std::size_t size)
{
    if (fake->host_name.empty())
        return 0;
    std::strncpy(host, fake->host_name.c_str(), size - 1);
    host[size - 1] = '\0';
    return 1;
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
    platform = PlatformCalls{fake_now,         fake_select,         fake_accept,
                             fake_recv,        fake_send,           fake_close,
                             fake_set_nonblocking, fake_reverse_lookup, fake_alloc,
                             fake_resize,      fake_release};
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
    session->client_socket = new_socket();
    session->state = state;
    session->last_input = now;
    std::snprintf(session->peer_name, sizeof session->peer_name, "[127.0.0.%d]",
                  static_cast<int>(session->client_socket % 250));
    link_at_end(server.sessions, session);
    return session;
}
