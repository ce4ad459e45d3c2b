// Reverse look-ups on a few worker threads, so that a peer whose address
// resolves slowly holds up nobody but itself.
#include "platform/resolver.h"

#include "platform/resolver_backend.h"
#include "platform/socket_api.h"
#include "platform/wakeup.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <new>
#include <vector>

namespace {

constexpr int WORKERS = 4;

} // namespace

// Shared by its owner (a server) and its workers (WorkerShare).
struct Resolver {
    // Numbered, because an owner's memory may be reused for a new client
    // while a look-up for the old one is still running.
    struct Request {
        PeerAddress peer;
        void* owner;
        std::uint64_t number;
        bool cancelled; // in progress, but nobody wants the answer
    };

    explicit Resolver(socket_handle wakeup) : share(wakeup) {}
    WorkerShare share;
    std::deque<Request> waiting;
    std::vector<NameLookup> done;
    std::vector<Request> in_progress;
    std::uint64_t requests = 0;
    bool workers_started = false;
    int workers = 0;
};

namespace {

// May take as long as the system's resolver does.
bool blocking_reverse_lookup(const PeerAddress* peer, char* host, std::size_t size)
{
    sockaddr_storage address{};
    address_length length;
    if (peer->ipv6) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        std::memcpy(&v6.sin6_addr, peer->octets, 16);
        length = sizeof v6;
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        std::memcpy(&v4.sin_addr.s_addr, peer->octets, 4);
        length = sizeof v4;
    }
    return getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host,
                       static_cast<address_length>(size), nullptr, 0, NI_NAMEREQD) == 0;
}

// Takes the request off the list of those in progress; returns whether
// its answer is still wanted.
bool finish(std::vector<Resolver::Request>& in_progress, std::uint64_t number)
{
    auto at = std::find_if(in_progress.begin(), in_progress.end(),
                           [number](const Resolver::Request& q) { return q.number == number; });
    if (at == in_progress.end())
        return false;
    bool wanted = !at->cancelled;
    in_progress.erase(at);
    return wanted;
}

// Without memory for its bookkeeping a look-up is dropped: its client is
// named by its address at the deadline, and the server goes on.
void work(void* argument)
{
    auto* r = static_cast<Resolver*>(argument);
    resolver_lock();
    for (;;) {
        while (r->waiting.empty() && !r->share.owner_gone)
            resolver_sleep();
        if (r->share.owner_gone)
            break;
        Resolver::Request request = r->waiting.front();
        r->waiting.pop_front();
        try {
            r->in_progress.push_back(request);
        } catch (const std::bad_alloc&) {
            continue;
        }
        resolver_unlock();

        NameLookup answer{};
        answer.owner = request.owner;
        answer.found = blocking_reverse_lookup(&request.peer, answer.host, sizeof answer.host);

        resolver_lock();
        try {
            if (!r->share.owner_gone && finish(r->in_progress, request.number)) {
                r->done.push_back(answer);
                wakeup_signal(r->share.wakeup);
            }
        } catch (const std::bad_alloc&) {
        }
    }
    leave_queue(r);
    resolver_unlock();
}

} // namespace

Resolver* resolver_open(socket_handle wakeup)
{
    return new (std::nothrow) Resolver(wakeup);
}

// A look-up can take as long as the system's resolver: its worker is not
// waited for.
void resolver_close(Resolver* r)
{
    close_queue(r, false);
}

int resolver_lookup_start(Resolver* r, const PeerAddress* peer, void* owner)
{
    if (!r)
        return -1;
    resolver_lock();
    if (!r->workers_started) {
        r->workers_started = true;
        for (int i = 0; i < WORKERS; i++) {
            r->share.holders++;
            if (resolver_start_worker(work, r))
                r->workers++;
            else
                r->share.holders--;
        }
    }
    bool ready = r->workers > 0;
    try {
        if (ready)
            r->waiting.push_back(Resolver::Request{*peer, owner, ++r->requests, false});
    } catch (const std::bad_alloc&) {
        ready = false;
    }
    resolver_unlock();
    if (ready)
        resolver_wake_all();
    return ready ? 0 : -1;
}

int resolver_lookup_collect(Resolver* r, NameLookup* answers, int capacity)
{
    return r ? take_finished(r->done, answers, capacity) : 0;
}

void resolver_lookup_cancel(Resolver* r, void* owner)
{
    if (!r)
        return;
    resolver_lock();
    auto mine = [owner](const Resolver::Request& q) { return q.owner == owner; };
    std::erase_if(r->waiting, mine);
    for (Resolver::Request& running : r->in_progress)
        if (mine(running))
            running.cancelled = true;
    std::erase_if(r->done, [owner](const NameLookup& a) { return a.owner == owner; });
    resolver_unlock();
}
