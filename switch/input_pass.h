#pragma once

#include "switch/server.h"

#include <cstdint>
#include <string_view>

// Whether the input pass can take a step for the session without a new
// byte: a whole dialogue line, or a whole frame, already waits. Looks only
// at the bytes that came since it last looked.
bool has_whole_input(Session& session);

enum class InputRound { every_session, sessions_that_stepped };

// One round of the round robin: one dialogue line or one relayed frame per
// session, in session order. A later round of the same turn need only visit
// the sessions that took a step in the round before. Returns whether any
// session took a step.
bool input_pass(Server& server, InputRound round = InputRound::every_session);
