#pragma once

#include "switch/server.h"

// One turn of the loop: wait for and read the sockets, take steps of input
// in rounds of one per session, send what is queued (unless the output
// schedule holds it), free the sessions closed in the turn, then write the
// turn's log lines.
void serve_one_turn(Server& server);
