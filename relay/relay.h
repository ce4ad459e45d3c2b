#pragma once

#include "net/session.h"
#include "relay/address_registry.h"

#include <cstdint>

constexpr std::uint32_t WORK_BUF_SIZE = 4096;
// The most a receiver may have waiting in its output queue. A reader slower
// than its senders would otherwise grow the queue until the heap runs out
// and takes every other client down with the server.
constexpr std::uint32_t OUTPUT_QUEUE_LIMIT = 1048576;

// Queues frame_length bytes (the frame and its zero terminator) for every
// other online session that announced destination, or for all of them when
// destination is empty.
void send_to_all(socket_handle sender_socket, const char* frame, std::uint32_t frame_length,
                 const char* destination);

// The input pass: one dialogue line or one relayed frame per session.
int process_input();
