#include "net/session.h"

#include "relay/address_registry.h"
#include "shell/event_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

Session* session_list;

namespace {

void free_queue(ByteQueue* queue)
{
    if (queue->block)
        platform.release(queue->block);
}

} // namespace

Session* close_session(socket_handle sock, const char* reason)
{
    Session* previous = session_list;
    Session* session = previous->next_session;
    while (session && session->client_socket != sock) {
        previous = session;
        session = session->next_session;
    }
    if (!session) {
        // No caller passes such a socket; still never leak the handle.
        platform.close(sock);
        return nullptr;
    }

    char event[256];
    if (reason)
        std::snprintf(event, sizeof event, "disconnected (%s)", reason);
    else
        std::snprintf(event, sizeof event, "logged out");
    log_event(2, event, session->peer_name);

    free_queue(&session->input);
    free_queue(&session->output);
    free_address_list(session->addresses);
    previous->next_session = session->next_session;
    platform.release(session);
    platform.close(sock);
    return previous->next_session;
}

int queue_append(ByteQueue* queue, const void* bytes, std::uint32_t count)
{
    if (count > UINT32_MAX - queue->length)
        return 0;
    std::uint32_t new_length = queue->length + count;
    std::size_t block_size = std::max(new_length, QUEUE_MIN_BLOCK);
    char* block = static_cast<char*>(platform.resize(queue->block, block_size));
    if (!block)
        return 0;
    if (count > 0)
        std::memcpy(block + queue->length, bytes, count);
    queue->block = block;
    queue->length = new_length;
    return 1;
}

std::uint32_t queue_take(ByteQueue* queue, void* destination, std::uint32_t requested, bool peek)
{
    if (!queue->block)
        return 0;
    if (requested == 0)
        return 1;
    std::uint32_t n = std::min(requested, queue->length);
    if (n > 0)
        std::memcpy(destination, queue->block, n);
    if (peek)
        return n;

    std::uint32_t rest = queue->length - n;
    std::memmove(queue->block, queue->block + n, rest);
    // The block only ever shrinks here. Should the heap refuse even that,
    // the larger block still holds the rest, so keep it: the bytes taken are
    // reported and nothing is lost.
    if (void* smaller = platform.resize(queue->block, std::max(rest, QUEUE_MIN_BLOCK)))
        queue->block = static_cast<char*>(smaller);
    queue->length = rest;
    return n;
}

int send_bytes(socket_handle peer_socket, const char* data, int byte_count, int flags)
{
    return platform.send(peer_socket, data, byte_count, flags);
}

int send_text(socket_handle peer_socket, const char* text)
{
    return send_bytes(peer_socket, text, static_cast<int>(std::strlen(text)), 0);
}
