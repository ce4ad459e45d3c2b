#include "switch/turn.h"

#include "switch/input_pass.h"
#include "switch/output_pass.h"
#include "switch/wait.h"

// Each input pass is one round of the round robin: every session takes one
// dialogue line or relays one frame. While a round took something, more
// rounds run before the wait, among the sessions that took a step: it is
// what the next turns would do if no new byte came in between, so every
// receiver sees the frames in the same interleaving, and a sender that wrote
// many frames at once costs a wait, a read and a send per receiver for all
// that one read took, not for each. Each round walks the served sessions:
// a sender of 10,000 bytes of the shortest frames costs 1,669 walks in its
// turn, cheap next to the frames themselves.
void serve_one_turn(Server& server)
{
    wait_pass(server);
    bool stepped = input_pass(server, InputRound::every_session);
    for (int round = 1; stepped && round < INPUT_ROUNDS_PER_TURN; round++)
        stepped = input_pass(server, InputRound::sessions_that_stepped);
    output_pass(server);
    log_flush(server.log, platform.now());
}
