#include "switch/work_list.h"

#include "switch/session.h"

namespace {

// Two runs in order of acceptance, linked forwards only, into one.
Session* merge(Session* a, Session* b, WorkKind kind)
{
    Session* merged = nullptr;
    Session** tail = &merged;
    while (a && b) {
        Session*& earlier = a->accept_number < b->accept_number ? a : b;
        *tail = earlier;
        tail = &link_of(*earlier, kind).next;
        earlier = *tail;
    }
    *tail = a ? a : b;
    return merged;
}

bool in_acceptance_order(const WorkList& list)
{
    for (const Session* s = list.first; s && link_of(*s, list.kind).next; s = link_of(*s, list.kind).next)
        if (link_of(*s, list.kind).next->accept_number < s->accept_number)
            return false;
    return true;
}

} // namespace

void push_back(WorkList& list, Session& session)
{
    if (is_listed(list, session))
        return;
    WorkLink& link = link_of(session, list.kind);
    link = WorkLink{list.last, nullptr};
    (list.last ? link_of(*list.last, list.kind).next : list.first) = &session;
    list.last = &session;
    list.count++;
}

void remove(WorkList& list, Session& session)
{
    if (!is_listed(list, session))
        return;
    WorkLink& link = link_of(session, list.kind);
    (link.previous ? link_of(*link.previous, list.kind).next : list.first) = link.next;
    (link.next ? link_of(*link.next, list.kind).previous : list.last) = link.previous;
    link = WorkLink{};
    list.count--;
}

Session* pop_front(WorkList& list)
{
    Session* first = list.first;
    if (first)
        remove(list, *first);
    return first;
}

WorkList take_all(WorkList& list)
{
    WorkList taken = list;
    list = WorkList{list.kind};
    return taken;
}

Session* next_on(const WorkList& list, const Session& session)
{
    return link_of(session, list.kind).next;
}

// Bottom-up, as runs of 1, 2, 4... sessions: runs[i] holds 2^i of them or
// none, so 64 runs sort any list there can be.
void sort_by_acceptance(WorkList& list)
{
    if (in_acceptance_order(list))
        return;
    Session* runs[64] = {};
    for (Session* s = list.first; s;) {
        Session* next = link_of(*s, list.kind).next;
        link_of(*s, list.kind).next = nullptr;
        Session* carry = s;
        std::size_t i = 0;
        for (; runs[i]; i++) {
            carry = merge(runs[i], carry, list.kind);
            runs[i] = nullptr;
        }
        runs[i] = carry;
        s = next;
    }
    Session* sorted = nullptr;
    for (Session* run : runs)
        if (run)
            sorted = merge(run, sorted, list.kind);
    list.first = sorted;
    Session* previous = nullptr;
    for (Session* s = sorted; s; s = link_of(*s, list.kind).next) {
        link_of(*s, list.kind).previous = previous;
        previous = s;
    }
    list.last = previous;
}
