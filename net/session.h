#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <ctime>

struct AddressEntry;

// A growable run of bytes, read from the front and appended at the back.
// There is no growth reserve: after every append and every removal the block
// holds exactly max(length, QUEUE_MIN_BLOCK) bytes. No block until the first
// append; the zero-filled queue is the empty queue.
struct ByteQueue {
    char* block;
    std::uint32_t length;
};

constexpr std::uint32_t QUEUE_MIN_BLOCK = 256;

enum SessionState : std::int32_t {
    ST_LOGIN = 1,
    ST_PASSWORD = 2,
    ST_ONLINE = 3,
    ST_BROKEN = 4,
};

constexpr std::size_t NAME_SIZE = 256;

// One connected client. Created zero-filled, linked at the end of
// session_list, and freed with everything it owns by close_session alone.
struct Session {
    ByteQueue input;
    ByteQueue output;
    socket_handle client_socket;
    SessionState session_state;
    char peer_name[NAME_SIZE];
    char login_name[NAME_SIZE];
    // time_t, not 32 bits: a 32-bit clock wraps in 2038 and would then make
    // every session look idle at once.
    std::time_t last_input;
    std::int32_t send_failures;
    AddressEntry* addresses;
    Session* next_session;
};

// The head of the list: a zero-filled dummy that is never a client. Its
// next_session is the first real session, in order of acceptance.
extern Session* session_list;

// Unlinks and frees the session that holds sock, closes the socket, and
// returns the session that followed it. reason null logs "logged out".
Session* close_session(socket_handle sock, const char* reason);

// 1 when the bytes were appended; 0, with the queue unchanged, when the heap
// had no block of the needed size.
int queue_append(ByteQueue* queue, const void* bytes, std::uint32_t count);

// Copies up to requested bytes from the front into destination and, unless
// peek, removes them. Returns the count copied; 0 when nothing was taken; 1
// when requested is 0 and the queue has a block.
std::uint32_t queue_take(ByteQueue* queue, void* destination, std::uint32_t requested, bool peek);

// One send call straight on the socket, bypassing the output queue.
int send_bytes(socket_handle peer_socket, const char* data, int byte_count, int flags);
// Sends a zero-terminated text without its terminator.
int send_text(socket_handle peer_socket, const char* text);
