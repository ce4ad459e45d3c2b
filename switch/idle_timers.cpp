#include "switch/idle_timers.h"

#include "switch/session.h"

namespace {

// A session's place is its index plus one, so that the zero-filled session
// is in no heap.
std::uint32_t place_of(const Session& session)
{
    return session.place.idle_place;
}

void put(IdleTimers& timers, std::uint32_t index, Session* session)
{
    timers.heap[index] = session;
    session->place.idle_place = index + 1;
}

bool before(const Session* a, const Session* b)
{
    return a->place.idle_key_ms < b->place.idle_key_ms;
}

// Costs O(log n).
void sift_up(IdleTimers& timers, std::uint32_t index)
{
    Session* moving = timers.heap[index];
    while (index > 0) {
        std::uint32_t parent = (index - 1) / 2;
        if (!before(moving, timers.heap[parent]))
            break;
        put(timers, index, timers.heap[parent]);
        index = parent;
    }
    put(timers, index, moving);
}

// Costs O(log n).
void sift_down(IdleTimers& timers, std::uint32_t index)
{
    Session* moving = timers.heap[index];
    for (;;) {
        std::uint32_t child = 2 * index + 1;
        if (child >= timers.size)
            break;
        if (child + 1 < timers.size && before(timers.heap[child + 1], timers.heap[child]))
            child++;
        if (!before(timers.heap[child], moving))
            break;
        put(timers, index, timers.heap[child]);
        index = child;
    }
    put(timers, index, moving);
}

} // namespace

bool idle_reserve(IdleTimers& timers)
{
    if (timers.members < timers.capacity)
        return true;
    const std::uint32_t grown = timers.capacity == 0 ? 64 : timers.capacity * 2;
    void* block = platform.resize(timers.heap, grown * sizeof(Session*));
    if (!block)
        return false;
    timers.heap = static_cast<Session**>(block);
    timers.capacity = grown;
    return true;
}

void idle_join(IdleTimers& timers, Session& session, std::int64_t key_ms)
{
    timers.members++;
    idle_insert(timers, session, key_ms);
}

void idle_leave(IdleTimers& timers, Session& session)
{
    idle_erase(timers, session);
    timers.members--;
}

void idle_insert(IdleTimers& timers, Session& session, std::int64_t key_ms)
{
    session.place.idle_key_ms = key_ms;
    put(timers, timers.size++, &session);
    sift_up(timers, timers.size - 1);
}

void idle_erase(IdleTimers& timers, Session& session)
{
    if (place_of(session) == 0)
        return;
    const std::uint32_t index = place_of(session) - 1;
    session.place.idle_place = 0;
    Session* last = timers.heap[--timers.size];
    if (index == timers.size)
        return;
    put(timers, index, last);
    sift_down(timers, index);
    sift_up(timers, place_of(*last) - 1);
}

void idle_postpone(IdleTimers& timers, Session& session, std::int64_t key_ms)
{
    session.place.idle_key_ms = key_ms;
    sift_down(timers, place_of(session) - 1);
}

Session* idle_first(const IdleTimers& timers)
{
    return timers.size > 0 ? timers.heap[0] : nullptr;
}

void idle_release(IdleTimers& timers)
{
    platform.release(timers.heap);
    timers = IdleTimers{};
}
