#include "switch/output_schedule.h"

#include "switch/transport.h"

#include <algorithm>
#include <cstdint>

void note_full_read(OutputSchedule& schedule)
{
    schedule.read_full = true;
}

void note_receiver_broken(OutputSchedule& schedule)
{
    schedule.longest_output = UINT32_MAX;
}

bool rounds_may_go_on(const OutputSchedule& schedule, std::uint32_t output_limit)
{
    return schedule.longest_output < output_limit / 4;
}

// Waking a receiver costs more than the bytes sent to it (on a virtual
// machine, an interrupt to another processor): while a sender floods the
// switch, a few reads of it are relayed before the receivers are sent to.
// Bounded in turns and in the longest output queue, so a receiver's frames
// wait at most a few reads (well under a millisecond), and never enough to
// crowd its queue.
bool output_pass_due(OutputSchedule& schedule)
{
    const bool waits = schedule.read_full && schedule.turns_deferred < FLOOD_TURNS_DEFERRED_MAX &&
                       schedule.longest_output < FLOOD_OUTPUT_DEFERRED_MAX;
    schedule.turns_deferred = waits ? schedule.turns_deferred + 1 : 0;
    return !waits;
}

// The page cache takes a file's growth in large writes at twice the speed
// of a turn's (5.7 against 2.5 GB/s for 256 KiB against 12 KB writes), and
// under a flood the log is the relay's largest cost after the frames: its
// lines wait for a larger write to the file while reads fill their buffers.
// Standard output still gets each turn's lines, since a pipe takes only so
// much at once. The next wait does not sleep while lines wait, so they are
// written as soon as the flood pauses.
bool log_waits(OutputSchedule& schedule, const EventLog& log, std::int64_t now_ms)
{
    const bool was_held = schedule.log_held;
    schedule.log_held = false;
    if (!schedule.read_full || log.lines.size() >= FLOOD_LOG_HELD_MAX)
        return false;
    if (!was_held)
        schedule.log_held_since_ms = now_ms;
    else if (now_ms - schedule.log_held_since_ms >= FLOOD_LOG_HELD_MS_MAX)
        return false;
    schedule.log_held = true;
    return true;
}

void end_turn(OutputSchedule& schedule)
{
    schedule.read_full = false;
}

bool held_work_waiting(const OutputSchedule& schedule)
{
    return schedule.turns_deferred > 0 || schedule.log_held;
}

std::int64_t gathering_ends_ms(const OutputSchedule& schedule)
{
    return schedule.gathering ? schedule.gathering_since_ms + GATHER_MS : 0;
}

void begin_output_pass(OutputSchedule& schedule, std::int64_t now_ms)
{
    if (schedule.gathering && now_ms - schedule.gathering_since_ms >= GATHER_MS) {
        schedule.gathering = false; // this pass sends everything
    } else if (!schedule.gathering && schedule.short_sends_last_pass >= GATHER_RECEIVERS) {
        schedule.gathering = true;
        schedule.gathering_since_ms = now_ms;
    }
    schedule.longest_output = 0;
}

bool gatherable(const Transport& transport, std::uint32_t length)
{
    return transport.gathers_output && length > 0 && length < GATHER_BYTES;
}

bool held_back(const OutputSchedule& schedule, const Transport& transport, std::uint32_t length)
{
    return schedule.gathering && gatherable(transport, length);
}

void note_output_left(OutputSchedule& schedule, std::uint32_t length)
{
    schedule.longest_output = std::max(schedule.longest_output, length);
}

void end_output_pass(OutputSchedule& schedule, std::size_t short_sends)
{
    schedule.short_sends_last_pass = short_sends;
}

bool output_owed(const OutputSchedule& schedule, const Transport& transport, std::uint32_t length)
{
    return schedule.turns_deferred > 0 || held_back(schedule, transport, length);
}

void release_holds(OutputSchedule& schedule)
{
    schedule.gathering = false;
    schedule.short_sends_last_pass = 0;
    schedule.turns_deferred = 0;
}
