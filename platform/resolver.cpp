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

struct Request {
    PeerAddress peer;
    void* owner;
};

// Created once and never destroyed: the workers outlive every caller and
// may still hold the lock while the process exits.
struct Resolver {
    std::deque<Request> waiting;
    std::vector<NameLookup> done;
    std::vector<void*> in_progress;
    std::vector<void*> cancelled; // in progress, but nobody wants the answer
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

template <typename T>
bool take(std::vector<T>& list, const T& value)
{
    auto at = std::find(list.begin(), list.end(), value);
    if (at == list.end())
        return false;
    list.erase(at);
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
        r.in_progress.push_back(request.owner);
        resolver_unlock();

        NameLookup answer{};
        answer.owner = request.owner;
        answer.found = blocking_reverse_lookup(&request.peer, answer.host, sizeof answer.host);

        resolver_lock();
        take(r.in_progress, request.owner);
        if (!take(r.cancelled, request.owner))
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
        r.waiting.push_back(Request{*peer, owner});
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
    auto queued = std::find_if(r.waiting.begin(), r.waiting.end(),
                               [owner](const Request& q) { return q.owner == owner; });
    if (queued != r.waiting.end())
        r.waiting.erase(queued);
    else if (std::find(r.in_progress.begin(), r.in_progress.end(), owner) != r.in_progress.end())
        r.cancelled.push_back(owner);
    else
        std::erase_if(r.done, [owner](const NameLookup& a) { return a.owner == owner; });
    resolver_unlock();
}
