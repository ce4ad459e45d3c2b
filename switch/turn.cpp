#include "switch/input_pass.h"
#include "switch/output_pass.h"
#include "switch/server.h"
#include "switch/wait_pass.h"

namespace {

bool whole_input_waits(const Server& server)
{
    for (const Session* s = server.sessions.first; s; s = s->next)
        if (s->input.length > 0 && has_whole_input(*s))
            return true;
    return false;
}

} // namespace

// Each input pass is one round of the round robin: every session takes one
// dialogue line or relays one frame. While whole input is left, more rounds
// run before the wait: it is what the next turns would do if no new byte came
// in between, so every receiver sees the frames in the same interleaving,
// and a sender that wrote many frames at once costs a wait, a read and a send
// per receiver for up to INPUT_ROUNDS_PER_TURN of them, not for each.
void serve_one_turn(Server& server)
{
    wait_pass(server);
    for (int round = 0; round < INPUT_ROUNDS_PER_TURN; round++) {
        input_pass(server);
        if (!whole_input_waits(server))
            break;
    }
    output_pass(server);
    log_flush(server.log, platform.now());
}
