#pragma once

#include "switch/server.h"

// One turn of the loop: wait for and read the sockets, deliver what the
// other switches of a cluster sent, take steps of input in rounds of one
// per session, send what is queued (unless the output schedule holds it),
// write to the cluster what the turn published, free the sessions closed
// in the turn, then write the turn's log lines.
void serve_one_turn(Server& server);
