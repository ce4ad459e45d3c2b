#include "platform/heap.h"
#include "platform/platform.h"

#include <cstdlib>
#include <cstring>

void* heap_alloc(std::size_t size)
{
    return std::malloc(size);
}

void* heap_resize(void* block, std::size_t size)
{
    return std::realloc(block, size);
}

void heap_release(void* block)
{
    std::free(block);
}

void* mem_zalloc(std::size_t size)
{
    void* block = platform.alloc(size);
    if (block)
        std::memset(block, 0, size);
    return block;
}

void sock_dotted_address(const PeerAddress* peer, char* text)
{
    // Formatted by hand: inet_ntoa's static buffer is a trap, and the format
    // is the same everywhere.
    char* out = text;
    for (int i = 0; i < 4; i++) {
        unsigned value = peer->octets[i];
        if (i > 0)
            *out++ = '.';
        if (value >= 100)
            *out++ = static_cast<char>('0' + value / 100);
        if (value >= 10)
            *out++ = static_cast<char>('0' + value / 10 % 10);
        *out++ = static_cast<char>('0' + value % 10);
    }
    *out = '\0';
}

static int last_socket_error;

int sock_last_error()
{
    return last_socket_error;
}

void sock_set_last_error(int code)
{
    last_socket_error = code;
}
