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
    server.flood.read_full = false;
    log_flush(server.log, platform.now());
}
