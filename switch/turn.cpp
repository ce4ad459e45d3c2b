#include "switch/turn.h"

#include "switch/input_pass.h"
#include "switch/output_pass.h"
#include "switch/wait.h"

namespace {

// Waking a receiver costs more than the bytes sent to it (on a virtual
// machine, an interrupt to another processor): while a sender floods the
// switch, a few reads of it are relayed before the receivers are sent to.
// Bounded in turns and in the longest output queue, so a receiver's frames
// wait at most a few reads (well under a millisecond), and never enough to
// crowd its queue.
bool output_waits_for_flood(const FloodState& flood)
{
    return flood.read_full && flood.turns_deferred < FLOOD_TURNS_DEFERRED_MAX &&
           flood.longest_output < FLOOD_OUTPUT_DEFERRED_MAX;
}

// The page cache takes a file's growth in large writes at twice the speed
// of a turn's (5.7 against 2.5 GB/s for 256 KiB against 12 KB writes), and
// under a flood the log is the relay's largest cost after the frames: its
// lines wait for a larger write to the file while reads fill their buffers.
// Standard output still gets each turn's lines, since a pipe takes only so
// much at once. The next wait does not sleep while lines wait, so they are
// written as soon as the flood pauses.
bool log_waits_for_flood(Server& server)
{
    FloodState& flood = server.flood;
    const bool was_held = flood.log_held;
    flood.log_held = false;
    if (!flood.read_full || server.log.lines.size() >= FLOOD_LOG_HELD_MAX)
        return false;
    const std::int64_t now_ms = platform.monotonic_ms();
    if (!was_held)
        flood.log_held_since_ms = now_ms;
    else if (now_ms - flood.log_held_since_ms >= FLOOD_LOG_HELD_MS_MAX)
        return false;
    flood.log_held = true;
    return true;
}

} // namespace

// Each input pass is one round of the round robin: every session takes one
// dialogue line or relays one frame. While a round took something, more
// rounds run before the wait, among the sessions that took a step: it is
// what the next turns would do if no new byte came in between, so every
// receiver sees the frames in the same interleaving, and a sender that wrote
// many frames at once costs a wait, a read and a send per receiver for all
// that one read took, not for each. Each round walks the served sessions:
// a sender of 10,000 bytes of the shortest frames costs 2,003 walks in its
// turn, cheap next to the frames themselves.
void serve_one_turn(Server& server)
{
    wait_pass(server);
    bool stepped = input_pass(server, InputRound::every_session);
    for (int round = 1; stepped && round < INPUT_ROUNDS_PER_TURN && server.flood.longest_output < ROUNDS_OUTPUT_MAX;
         round++)
        stepped = input_pass(server, InputRound::sessions_that_stepped);
    if (output_waits_for_flood(server.flood)) {
        server.flood.turns_deferred++;
    } else {
        server.flood.turns_deferred = 0;
        output_pass(server);
    }
    const bool log_waits = log_waits_for_flood(server);
    server.flood.read_full = false;
    if (log_waits)
        log_echo(server.log, platform.now());
    else
        log_flush(server.log, platform.now());
}
