#include "switch/turn.h"

#include "switch/input_pass.h"
#include "switch/output_pass.h"
#include "switch/wait.h"

// Each input pass is one round of the round robin: every session takes one
// dialogue line or relays one frame. While a round took something, more
// rounds run before the wait, among the sessions that took a step: it is
// what the next turns would do if no new byte came in between, so every
// receiver sees the frames in the same interleaving, and a sender that wrote
// many frames at once costs a wait, a read and a send per receiver for up to
// INPUT_ROUNDS_PER_TURN of them, not for each.
void serve_one_turn(Server& server)
{
    wait_pass(server);
    bool stepped = input_pass(server, InputRound::every_session);
    for (int round = 1; stepped && round < INPUT_ROUNDS_PER_TURN; round++)
        stepped = input_pass(server, InputRound::sessions_that_stepped);
    output_pass(server);
    log_flush(server.log, platform.now());
}
