// Reverse look-ups on a few worker threads, so that a peer whose address
// resolves slowly holds up nobody but itself.
#include "platform/resolver_backend.h"
#include "platform/socket_api.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

namespace {

constexpr int WORKERS = 4;

// Numbered, because an owner's memory may be reused for a new client while
// a look-up for the old one is still running.
struct Request {
    PeerAddress peer;
    void* owner;
    std::uint64_t number;
};

// Created once and never destroyed: the workers outlive every caller and
// may still hold the lock while the process exits.
struct Resolver {
    std::deque<Request> waiting;
    std::vector<NameLookup> done;
    std::vector<Request> in_progress;
    std::vector<std::uint64_t> cancelled; // in progress, but nobody wants the answer
    std::uint64_t requests = 0;
    bool workers_started = false;
    int workers = 0;
};

Resolver& resolver()
{
    static Resolver* instance = new Resolver;
    return *instance;
}

// May take as long as the system's resolver does.
bool blocking_reverse_lookup(const PeerAddress* peer, char* host, std::size_t size)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    std::memcpy(&address.sin_addr.s_addr, peer->octets, 4);
    return getnameinfo(reinterpret_cast<sockaddr*>(&address), sizeof address, host,
                       static_cast<address_length>(size), nullptr, 0, NI_NAMEREQD) == 0;
}

bool take(std::vector<std::uint64_t>& numbers, std::uint64_t number)
{
    auto at = std::find(numbers.begin(), numbers.end(), number);
    if (at == numbers.end())
        return false;
    numbers.erase(at);
    return true;
}

void work()
{
    Resolver& r = resolver();
    resolver_lock();
    for (;;) {
        while (r.waiting.empty())
            resolver_sleep();
        Request request = r.waiting.front();
        r.waiting.pop_front();
        r.in_progress.push_back(request);
        resolver_unlock();

        NameLookup answer{};
        answer.owner = request.owner;
        answer.found = blocking_reverse_lookup(&request.peer, answer.host, sizeof answer.host);

        resolver_lock();
        std::erase_if(r.in_progress, [&](const Request& q) { return q.number == request.number; });
        if (!take(r.cancelled, request.number))
            r.done.push_back(answer);
    }
}

} // namespace

int resolver_lookup_start(const PeerAddress* peer, void* owner)
{
    Resolver& r = resolver();
    resolver_lock();
    if (!r.workers_started) {
        r.workers_started = true;
        for (int i = 0; i < WORKERS; i++)
            r.workers += resolver_start_worker(work) ? 1 : 0;
    }
    bool ready = r.workers > 0;
    if (ready)
        r.waiting.push_back(Request{*peer, owner, ++r.requests});
    resolver_unlock();
    if (ready)
        resolver_wake_all();
    return ready ? 0 : -1;
}

int resolver_lookup_collect(NameLookup* answers, int capacity)
{
    Resolver& r = resolver();
    resolver_lock();
    int n = static_cast<int>(std::min<std::size_t>(r.done.size(), static_cast<std::size_t>(capacity)));
    std::copy(r.done.begin(), r.done.begin() + n, answers);
    r.done.erase(r.done.begin(), r.done.begin() + n);
    resolver_unlock();
    return n;
}

void resolver_lookup_cancel(void* owner)
{
    Resolver& r = resolver();
    resolver_lock();
    auto mine = [owner](const Request& q) { return q.owner == owner; };
    std::erase_if(r.waiting, mine);
    for (const Request& running : r.in_progress)
        if (mine(running))
            r.cancelled.push_back(running.number);
    std::erase_if(r.done, [owner](const NameLookup& a) { return a.owner == owner; });
    resolver_unlock();
}
