#include "relay/address_registry.h"

#include "platform/platform.h"

void free_address_list(AddressEntry* first)
{
    while (first) {
        AddressEntry* next = first->next_entry;
        platform.release(first);
        first = next;
    }
}
