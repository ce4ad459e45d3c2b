#include "common/byte_queue.h"

#include "platform/platform.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t QUEUE_MIN_BLOCK = 256;

// Moves the unread bytes to the front of the block.
void compact(ByteQueue& queue)
{
    if (queue.start == 0)
        return;
    std::memmove(queue.block, queue.block + queue.start, queue.length);
    queue.start = 0;
}

bool resize_block(ByteQueue& queue, std::uint32_t capacity)
{
    char* block = static_cast<char*>(platform.resize(queue.block, capacity));
    if (!block)
        return false;
    queue.block = block;
    queue.capacity = capacity;
    return true;
}

// Makes room for count more bytes behind the unread ones. Compacting is
// enough while the unread bytes fill at most half of the block: the bytes
// moved are then paid for by at least as many consumed since the last move.
bool make_room(ByteQueue& queue, std::uint32_t count)
{
    std::uint32_t needed = queue.length + count;
    if (queue.start + needed <= queue.capacity)
        return true;
    if (needed <= queue.capacity / 2) {
        compact(queue);
        return true;
    }
    std::uint64_t doubled = std::max<std::uint64_t>(2ull * queue.capacity, QUEUE_MIN_BLOCK);
    auto capacity = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        std::max<std::uint64_t>(doubled, needed), UINT32_MAX));
    compact(queue);
    return resize_block(queue, capacity);
}

} // namespace

bool queue_append(ByteQueue& queue, std::string_view bytes)
{
    if (bytes.size() > UINT32_MAX - queue.length)
        return false;
    auto count = static_cast<std::uint32_t>(bytes.size());
    if (!make_room(queue, count))
        return false;
    if (count > 0)
        std::memcpy(queue.block + queue.start + queue.length, bytes.data(), count);
    queue.length += count;
    return true;
}

void queue_consume(ByteQueue& queue, std::uint32_t count)
{
    count = std::min(count, queue.length);
    queue.start += count;
    queue.length -= count;
    if (queue.length == 0) {
        queue_free(queue);
        return;
    }
    // A queue that once held a large backlog should not keep its block once
    // a quarter of it is left: memory stays within about twice the content.
    if (queue.capacity > QUEUE_SHRINK_FLOOR && queue.length < queue.capacity / 4) {
        compact(queue);
        // Should the heap refuse even a smaller block, the larger one still
        // holds every byte.
        resize_block(queue, std::max(2 * queue.length, QUEUE_SHRINK_FLOOR));
    }
}

void queue_free(ByteQueue& queue)
{
    if (queue.block)
        platform.release(queue.block);
    queue = ByteQueue{};
}
