#include "switch/turn.h"

#include "switch/input_pass.h"
#include "switch/output_pass.h"
#include "switch/wait.h"

void serve_one_turn(Server& server)
{
    wait_pass(server);
    cluster_take(server);
    input_rounds(server);
    if (output_pass_due(server.schedule))
        output_pass(server);
    cluster_flush(server);
    free_closed_sessions(server);
    const bool log_held = log_waits(server.schedule, server.log, platform.monotonic_ms());
    end_turn(server.schedule);
    if (log_held)
        log_echo(server.log, platform.now());
    else
        log_flush(server.log, platform.now());
}
