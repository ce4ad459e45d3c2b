#pragma once

#include <cstdint>
#include <string_view>

// A run of bytes appended at the back and consumed from the front. The
// unread bytes start at a read offset, so consuming moves nothing; the block
// grows by doubling, is compacted only when more than half of it is spent,
// shrinks when a large one is mostly spent, and goes back to the heap when
// the queue drains, so an idle client costs no queue memory. The
// zero-filled queue is the empty queue, with no block until the first append.
struct ByteQueue {
    char* block;
    std::uint32_t capacity;
    std::uint32_t start;  // offset of the first unread byte
    std::uint32_t length; // unread bytes
};

// A block larger than this shrinks once three quarters of it are spent.
constexpr std::uint32_t QUEUE_SHRINK_FLOOR = 4096;

// The unread bytes; valid until the next append or consume.
inline std::string_view queue_bytes(const ByteQueue& queue)
{
    return {queue.block + queue.start, queue.length};
}

// true when the bytes were appended; false, with the queue unchanged, when
// the heap had no block of the needed size.
bool queue_append(ByteQueue& queue, std::string_view bytes);

// Drops count bytes (at most the unread length) from the front.
void queue_consume(ByteQueue& queue, std::uint32_t count);

// Gives the block back; the queue is empty and usable again.
void queue_free(ByteQueue& queue);
