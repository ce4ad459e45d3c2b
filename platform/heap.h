// Internal to platform/: the real heap behind the table's alloc, resize and
// release entries, shared by both backends.
#pragma once

#include <cstddef>

void* heap_alloc(std::size_t size);
void* heap_resize(void* block, std::size_t size);
void heap_release(void* block);
