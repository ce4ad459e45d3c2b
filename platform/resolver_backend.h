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
