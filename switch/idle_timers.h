// When each session may stay silent until: a binary heap of the sessions by
// that moment, so the loop knows the next one without looking at the
// others, and a session's limit costs O(log n) to set, however many wait.
//
// The heap's key is the limit as it was when the session was put in, and
// a session's limit only ever moves later (its input renews it; logging in
// trades the dialogue's limit for the later one of its input). So input
// does not touch the heap: a key that comes due is checked against the
// session's limit of now, and moved on when the limit has moved.
#pragma once

#include <cstdint>

struct Session;

struct IdleTimers {
    // From the platform's heap, so that a failure to grow it can be tested.
    Session** heap = nullptr;
    std::uint32_t size = 0;
    std::uint32_t capacity = 0;
};

// Room for one more session; false, and nothing changed, without memory.
bool idle_reserve(IdleTimers& timers);
// Puts the session in with its key; room must have been reserved.
void idle_insert(IdleTimers& timers, Session& session, std::int64_t key_ms);
// Takes the session out; nothing when it is not in.
void idle_erase(IdleTimers& timers, Session& session);
// Moves the session's key to a later moment.
void idle_postpone(IdleTimers& timers, Session& session, std::int64_t key_ms);
// The session whose key comes first, or null when there is none.
Session* idle_first(const IdleTimers& timers);
// Gives the heap's block back; the timers must be empty.
void idle_release(IdleTimers& timers);
