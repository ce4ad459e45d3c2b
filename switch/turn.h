#pragma once

#include "switch/server.h"

// Rounds of the input pass one turn may run while whole input waits.
constexpr int INPUT_ROUNDS_PER_TURN = 64;

// One turn of the loop: wait for and read the sockets, take steps of input
// in rounds of one per session, send what is queued, then write the turn's
// log lines.
void serve_one_turn(Server& server);
