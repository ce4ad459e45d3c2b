// The loop's lists of sessions with work waiting, so that a turn touches
// the sessions that have something to do and no other. A session is on a
// list at most once; its place in each is a link of its own, so joining
// and leaving cost nothing however many sessions there are.
#pragma once

#include <cstddef>

struct Session;

// What a list holds sessions for; each kind is one link in every session.
enum class WorkKind {
    input,   // unread input the input pass has not looked at since it came
    output,  // queued output to offer its socket in the next output pass
    serve,   // to be served after the wait without an event of its own
             // (broken, or input waiting inside its transport), or with one
    naming,  // a reverse look-up under way, in order of acceptance
    stalled, // queued output its socket refused, oldest refusal first
    expired, // silent past its limit, to be closed one a turn
};
constexpr std::size_t WORK_KINDS = static_cast<std::size_t>(WorkKind::expired) + 1;

// A session's place in one list: both null when it is not on it, or is
// all of it.
struct WorkLink {
    Session* previous;
    Session* next;
};

struct WorkList {
    WorkKind kind;
    Session* first = nullptr;
    Session* last = nullptr;
    std::size_t count = 0;
};

// A session's place in the list of that kind, and whether it is on the
// list; defined inline with Session (session.h), as they are asked once
// per delivery.
inline WorkLink& link_of(Session& session, WorkKind kind);
inline const WorkLink& link_of(const Session& session, WorkKind kind);
inline bool is_listed(const WorkList& list, const Session& session);
// Adds the session at the end; nothing when it is listed already.
void push_back(WorkList& list, Session& session);
// Takes the session off; nothing when it is not listed.
void remove(WorkList& list, Session& session);
Session* pop_front(WorkList& list);
// Takes every session of the list into a list of the same kind, leaving
// the first empty: what is added meanwhile waits for the next time. Both
// use the same link, so a session goes back on the first only once it is
// off the taken one.
WorkList take_all(WorkList& list);
// The session after this one on the list, or null.
Session* next_on(const WorkList& list, const Session& session);
// Puts the list in order of acceptance: the order every pass serves its
// sessions in, whatever order their work came in. A merge sort of the
// links: O(n log n) in the sessions listed, no allocation.
void sort_by_acceptance(WorkList& list);
