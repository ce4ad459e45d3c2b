// When queued output is sent: at once, or held a little so that receivers
// are sent (and woken) once for many frames instead of once for each. The
// only owner of that state: the passes tell it what happened and ask it what
// to do.
//
// Two holds, each bounded in time and in bytes:
// - A flood: a sender's reads fill their buffers. While no receiver's
//   output has grown long, the output pass waits for a few more reads, and
//   the log's lines for a larger write to the file.
// - A gathering: each send through a gathering transport (TLS) is a record
//   its reader pays for whole. After a pass that sent short records to many
//   receivers, as a broadcast among many clients does, short output is held
//   for a millisecond or two, then goes for every receiver at once.
#pragma once

#include "common/event_log.h"

#include <cstddef>
#include <cstdint>

// A flood's reads are relayed for up to this many turns before an output
// pass, as long as no receiver's output queue holds this many bytes.
constexpr int FLOOD_TURNS_DEFERRED_MAX = 4;
constexpr std::uint32_t FLOOD_OUTPUT_DEFERRED_MAX = 32768;
// Meanwhile its log lines go to the file once this many bytes of them wait,
// or this long after the first turn that kept them, whichever comes first.
constexpr std::size_t FLOOD_LOG_HELD_MAX = 262144;
constexpr std::int64_t FLOOD_LOG_HELD_MS_MAX = 50;

// After a pass that sent short records to at least GATHER_RECEIVERS
// receivers, the next short output is held for 1-2 ms (the clock counts
// whole milliseconds). Output of a full record (GATHER_BYTES) is never held,
// and with fewer receivers, or after a quiet pass, frames go at once.
constexpr std::uint32_t GATHER_BYTES = 16384;
constexpr std::int64_t GATHER_MS = 2;
constexpr std::size_t GATHER_RECEIVERS = 32;

struct Transport;

struct OutputSchedule {
    // A flood.
    bool read_full = false;           // this turn's reads filled a buffer
    int turns_deferred = 0;           // output passes skipped in a row
    std::uint32_t longest_output = 0; // the longest output queue, at most
    bool log_held = false;
    std::int64_t log_held_since_ms = 0; // monotonic
    // A gathering.
    bool gathering = false;
    std::int64_t gathering_since_ms = 0; // monotonic
    // Short records the last pass sent: many mean a broadcast.
    std::size_t short_sends_last_pass = 0;
};

// What the passes tell it.
// A read filled its buffer: most likely more waits in the socket.
void note_full_read(OutputSchedule& schedule);
// A receiver's queue holds this many bytes now. Once per delivery.
inline void note_output_queued(OutputSchedule& schedule, std::uint32_t length)
{
    if (length > schedule.longest_output)
        schedule.longest_output = length;
}
// A receiver could take no more: nothing may wait for it.
void note_receiver_broken(OutputSchedule& schedule);

// Whether the input pass's rounds may go on: they stop once a receiver's
// output holds a quarter of its limit, so many senders' whole reads in one
// turn cannot fill a reader's queue that a turn's send would have kept
// below its limit.
bool rounds_may_go_on(const OutputSchedule& schedule, std::uint32_t output_limit);

// Whether this turn's output pass runs, or waits for more of a flood.
bool output_pass_due(OutputSchedule& schedule);
// Whether this turn's log lines wait for a larger write to the file.
bool log_waits(OutputSchedule& schedule, const EventLog& log, std::int64_t now_ms);
// The turn is over: the next one's reads say anew whether a flood goes on.
void end_turn(OutputSchedule& schedule);

// Whether the next wait must not sleep: held output or lines go out in the
// next turn that reads nothing more.
bool held_work_waiting(const OutputSchedule& schedule);
// The moment the wait must wake by for a gathering's end, or 0 for none.
std::int64_t gathering_ends_ms(const OutputSchedule& schedule);

// The output pass.
void begin_output_pass(OutputSchedule& schedule, std::int64_t now_ms);
// Whether output of this length through this transport is short enough to
// be gathered.
bool gatherable(const Transport& transport, std::uint32_t length);
// Whether this pass holds such output back.
bool held_back(const OutputSchedule& schedule, const Transport& transport, std::uint32_t length);
// A receiver's queue after its turn in the pass (or held, or waiting for
// room).
void note_output_left(OutputSchedule& schedule, std::uint32_t length);
void end_output_pass(OutputSchedule& schedule, std::size_t short_sends);

// A session about to be closed, or a stop: whether its output was held,
// and so is owed the send the skipped pass would have made.
bool output_owed(const OutputSchedule& schedule, const Transport& transport, std::uint32_t length);
// At a stop nothing more comes: nothing is held any more.
void release_holds(OutputSchedule& schedule);
