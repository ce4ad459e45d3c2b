#include "switch/route.h"

#include "switch/output_pass.h"

#include <cstdio>

namespace {

// A frame from the cluster has no local sender.
bool wants_frame(const Session& receiver, const Session* sender)
{
    return receiver.state == SessionState::online && &receiver != sender;
}

// Every session for the empty destination, else only its holders: either
// way in order of acceptance.
struct ReceiverWalk {
    Session* next_session;
    HolderWalk holders;
};

ReceiverWalk walk_receivers(const Server& server, std::string_view destination, DestinationLookup& last)
{
    if (destination.empty())
        return {server.sessions.first, {}};
    return {nullptr, holders_of(server.registry, destination, last)};
}

Session* next_receiver(ReceiverWalk& walk)
{
    Session* receiver = walk.next_session;
    if (!receiver)
        return next_holder(walk.holders);
    walk.next_session = receiver->next;
    return receiver;
}

bool queue_for(Session& receiver, std::string_view record)
{
    // Either way the reason is a lack of buffer space, whatever the last
    // socket call left behind.
    if (record.size() > OUTPUT_QUEUE_LIMIT - receiver.output.queue.length ||
        !queue_append(receiver.output.queue, record)) {
        sock_set_last_error(WSAENOBUFS);
        return false;
    }
    return true;
}

// Costs a walk of every session for a frame to all, of the destination's
// holders otherwise.
void queue_for_receivers(Server& server, const Session* sender, ReceiverWalk receivers,
                         std::string_view frame)
{
    while (Session* s = next_receiver(receivers)) {
        if (!wants_frame(*s, sender))
            continue;
        if (queue_for(*s, frame)) {
            server.metrics.deliveries++;
            output_queued(server, *s);
            continue;
        }
        s->state = SessionState::broken;
        // Its earlier output is still sent, in this turn's output pass; the
        // next wait closes it.
        push_back(server.work.serve, *s);
        note_receiver_broken(server.schedule);
        char event[64];
        std::snprintf(event, sizeof event, "Socket error #%d in send_to_all", sock_last_error());
        log_event(server.log, platform.now(), event, s->peer_name);
    }
}

} // namespace

void send_to_all(Server& server, Session& sender, std::string_view frame,
                 std::string_view destination)
{
    queue_for_receivers(server, &sender, walk_receivers(server, destination, sender.addresses.last_destination), frame);
}

void send_from_cluster(Server& server, std::string_view frame, std::string_view destination)
{
    DestinationLookup nothing_remembered{};
    queue_for_receivers(server, nullptr, walk_receivers(server, destination, nothing_remembered), frame);
}
