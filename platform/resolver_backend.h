// Internal to platform/: what the background workers (name look-ups,
// password checks) need from each backend: one lock with its wake-up, and
// worker threads.
#pragma once

#include "platform/platform.h"

#include <algorithm>
#include <cstddef>
#include <vector>

// One lock for every worker's queue, held only while a queue is touched.
void resolver_lock();
void resolver_unlock();
// Called with the lock held: releases it until resolver_wake_all, then
// takes it again.
void resolver_sleep();
void resolver_wake_all();
// Runs run(argument) on a thread of its own, which ends when run returns.
bool resolver_start_worker(void (*run)(void*), void* argument);

// What an owner (a server) and the workers of its queue share, touched with
// the lock held. A worker in the middle of a system call cannot be stopped,
// so the owner does not wait for it: whoever leaves last frees the queue.
struct WorkerShare {
    explicit WorkerShare(socket_handle wakeup) : wakeup(wakeup) {}
    // Signalled when an answer comes, while the owner is there.
    socket_handle wakeup;
    bool owner_gone = false;
    int holders = 1; // the owner, and each worker while it runs
};

// Called with the lock held by whoever leaves the queue (its owner, or a
// worker that saw the owner gone); the last one frees it.
template <typename Queue>
void leave_queue(Queue* queue)
{
    if (--queue->share.holders == 0)
        delete queue;
}

// The owner is done with its queue: no answer comes any more, and the
// workers end once they see it. With wait_for_workers, the owner waits for
// them to leave first (for work that ends soon, never for a look-up).
template <typename Queue>
void close_queue(Queue* queue, bool wait_for_workers)
{
    if (!queue)
        return;
    resolver_lock();
    queue->share.owner_gone = true;
    resolver_wake_all();
    while (wait_for_workers && queue->share.holders > 1)
        resolver_sleep();
    leave_queue(queue);
    resolver_unlock();
}

// The table's look-up entries, shared by both backends.
int resolver_lookup_start(Resolver* resolver, const PeerAddress* peer, void* owner);
int resolver_lookup_collect(Resolver* resolver, NameLookup* answers, int capacity);
void resolver_lookup_cancel(Resolver* resolver, void* owner);

// Moves up to capacity finished answers from the front of done into out,
// under the lock the workers share; returns how many. Costs a move of the
// answers left behind.
template <typename Answer>
int take_finished(std::vector<Answer>& done, Answer* out, int capacity)
{
    resolver_lock();
    const auto n = std::min<std::size_t>(done.size(), static_cast<std::size_t>(capacity));
    std::copy(done.begin(), done.begin() + static_cast<std::ptrdiff_t>(n), out);
    done.erase(done.begin(), done.begin() + static_cast<std::ptrdiff_t>(n));
    resolver_unlock();
    return static_cast<int>(n);
}
