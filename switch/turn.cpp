#include "switch/input_pass.h"
#include "switch/output_pass.h"
#include "switch/server.h"
#include "switch/wait_pass.h"

void serve_one_turn(Server& server)
{
    wait_pass(server);
    input_pass(server);
    output_pass(server);
    log_flush(server.log, platform.now());
}
