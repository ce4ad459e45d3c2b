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

// While whole frames still wait to be relayed, their sends are gathered over
// a few turns, so that a receiver gets many frames in one send instead of
// one send a frame: one sender fanning out to many would otherwise cost a
// send per receiver per frame. The bytes are the same; they leave at most
// OUTPUT_GATHER_TURNS turns later, and at once when nothing more waits.
void serve_one_turn(Server& server)
{
    wait_pass(server);
    input_pass(server);
    if (!whole_input_waits(server) || ++server.turns_without_output >= OUTPUT_GATHER_TURNS) {
        output_pass(server);
        server.turns_without_output = 0;
    }
    log_flush(server.log, platform.now());
}
