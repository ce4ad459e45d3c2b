#pragma once

#include "switch/server.h"

#include <cstdint>

// The most queued bytes one send call is offered. More than a loopback
// socket's buffer usually takes, so one call a turn keeps up with any reader;
// small enough that one receiver with a deep backlog does not hold the turn
// while the kernel copies a megabyte.
constexpr std::uint32_t SEND_CHUNK = 65536;
// A receiver whose socket takes none of its queued output for this long is
// closed at its next refusal: the 102 refused sends, 500 microseconds
// apart, that the loop once tolerated before it knew when a socket had
// room.
constexpr std::int64_t SEND_STALL_LIMIT_MS = 51;

// Output was queued for the session: the next pass offers it to the socket,
// unless the socket has no room, which it then waits for. Once per
// delivery, so inline.
inline void output_queued(Server& server, Session& session)
{
    note_output_queued(server.schedule, session.output.queue.length);
    if (!is_listed(server.work.output, session) && !is_listed(server.work.stalled, session))
        push_back(server.work.output, session);
}

// The socket reported room: what waited for it goes in the next pass.
void output_has_room(Server& server, Session& session);

// Gives every session on the output list one send call of its queued
// output, which holds its frames back to back, unless the schedule holds
// it (output_schedule.h). What a socket does not take waits for it to have
// room; a socket that takes nothing for SEND_STALL_LIMIT_MS, or fails,
// costs its session.
void output_pass(Server& server);

// A session about to be closed while its output was held (for a flood or a
// gathering) gets the one send that the skipped pass owed it.
void send_owed_output(Server& server, Session& session);

// At a stop nothing more comes: what a flood or a gathering held, and what
// waited for room, goes now, one send per session.
void flush_held_output(Server& server);
