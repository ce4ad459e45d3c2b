#pragma once

#include "switch/server.h"

#include <cstdint>
#include <string_view>

// The most a receiver may have waiting in its output queue. A reader slower
// than its senders would otherwise grow the queue until the heap runs out
// and takes every other client down with the server.
constexpr std::uint32_t OUTPUT_QUEUE_LIMIT = 1048576;

// Whether the input pass can take a step for the session without a new
// byte: a whole dialogue line, or a whole frame, already waits. Looks only
// at the bytes that came since it last looked.
bool has_whole_input(Session& session);

// Queues frame for every other online session
// that announced destination, or for all of them when destination is empty.
void send_to_all(Server& server, const Session& sender, std::string_view frame,
                 const char* destination);

enum class InputRound { every_session, sessions_that_stepped };

// One round of the round robin: one dialogue line or one relayed frame per
// session, in session order. A later round of the same turn need only visit
// the sessions that took a step in the round before. Returns whether any
// session took a step.
bool input_pass(Server& server, InputRound round = InputRound::every_session);
