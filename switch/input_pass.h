#pragma once

#include "switch/receive.h"
#include "switch/server.h"

#include <cstdint>
#include <string_view>

// Whether the input pass can take a step for the session without a new
// byte: a whole dialogue line, or a whole frame, already waits. Looks only
// at the bytes that came since it last looked.
bool has_whole_input(Session& session);

// Rounds of the input pass one turn may run while whole input waits: enough
// to relay all a session can hold (the input limit in the shortest frames
// that are relayed, "a b " and a check byte, which is the third field, after
// its two dialogue lines), so a turn takes everything whole that was read,
// and its work stays bounded by the input limit of each session.
constexpr int INPUT_ROUNDS_PER_TURN = RX_LIMIT / 5 + 3;

// One round of the round robin among the sessions on the input list: one
// dialogue line or one relayed frame per session, in order of acceptance.
// A session that took a step stays listed for the next round, as it may
// hold more; the others leave the list until new input comes. Returns
// whether any session took a step.
bool input_pass(Server& server);

// The turn's rounds: while a round took something, more rounds run before
// the wait, as the next turns would if no new byte came in between, so
// every receiver sees the frames in the same interleaving, and a sender
// that wrote many frames at once costs a wait, a read and a send per
// receiver for all that one read took, not for each. They stop at
// INPUT_ROUNDS_PER_TURN, or once a receiver's output has grown long.
void input_rounds(Server& server);
