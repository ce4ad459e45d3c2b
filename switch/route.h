#pragma once

#include "switch/server.h"

#include <cstdint>
#include <string_view>

// The most a receiver may have waiting in its output queue. A reader slower
// than its senders would otherwise grow the queue until the heap runs out
// and takes every other client down with the server.
constexpr std::uint32_t OUTPUT_QUEUE_LIMIT = 1048576;

// Queues frame for every other online session
// that announced destination, or for all of them when destination is empty.
void send_to_all(Server& server, Session& sender, std::string_view frame,
                 std::string_view destination);

// Queues a frame that another switch of the cluster relayed for every
// online session that announced destination, or for all of them when it
// is empty, by the same rules as a local client's.
void send_from_cluster(Server& server, std::string_view frame, std::string_view destination);
