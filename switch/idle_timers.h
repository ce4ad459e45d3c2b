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
    // The sessions the heap has room for, in it or taken out for a while
    // (found silent past their limit, to be closed): at most capacity.
    std::uint32_t members = 0;
};

// Room for one more member; false, and nothing changed, without memory.
bool idle_reserve(IdleTimers& timers);
// A new member, put in with its key; room must have been reserved.
void idle_join(IdleTimers& timers, Session& session, std::int64_t key_ms);
// A member that goes, taken out if it is in.
void idle_leave(IdleTimers& timers, Session& session);
// Puts a member back in with its key, or takes it out for a while.
void idle_insert(IdleTimers& timers, Session& session, std::int64_t key_ms);
void idle_erase(IdleTimers& timers, Session& session);
// Moves the session's key to a later moment.
void idle_postpone(IdleTimers& timers, Session& session, std::int64_t key_ms);
// The session whose key comes first, or null when there is none.
Session* idle_first(const IdleTimers& timers);
// Gives the heap's block back; the timers must have no member.
void idle_release(IdleTimers& timers);
