#pragma once

#include "switch/server.h"

#include <cstdint>

constexpr std::uint32_t RX_LIMIT = 10000; // unread input bytes a session may hold
constexpr int RECEIVE_SIZE = 255;         // bytes in one received block, logged as one line
// Blocks taken from one socket in one call, when that many are waiting and
// fit under the input limit: a large frame or a backlog then costs one wait
// and one read per input limit, not one per 255 bytes.
constexpr int RECEIVE_BLOCKS = RX_LIMIT / RECEIVE_SIZE;

// Reads what is waiting through the session's transport, logs it block by
// block with the password masked, and queues it as input for the input
// pass; closes the session at the end of its stream, on failure or
// overflow.
void receive_from(Server& server, Session& session);
