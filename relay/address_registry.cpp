#include "relay/address_registry.h"

#include "platform/platform.h"

#include <cstring>

namespace {

// The refresh comes before the age test, so a matching entry is never
// dropped in the call that announces it. The walk does not stop at a match.
// Returns the link at the end of the list, where a new entry belongs.
AddressEntry** refresh_or_expire(AddressEntry** list, const char* name, std::time_t now,
                                 bool* found)
{
    AddressEntry** link = list;
    while (AddressEntry* entry = *link) {
        if (std::strcmp(entry->address_name, name) == 0) {
            entry->last_seen = now;
            *found = true;
        }
        if (entry->last_seen + ADDRESS_TTL < now) {
            *link = entry->next_entry;
            platform.release(entry);
        } else {
            link = &entry->next_entry;
        }
    }
    return link;
}

} // namespace

void free_address_list(AddressEntry* first)
{
    while (first) {
        AddressEntry* next = first->next_entry;
        platform.release(first);
        first = next;
    }
}

void register_address(AddressEntry** list, const char* name)
{
    std::time_t now = platform.now();
    bool found = false;
    AddressEntry** tail = refresh_or_expire(list, name, now, &found);
    if (found)
        return;
    auto* entry = static_cast<AddressEntry*>(mem_zalloc(sizeof(AddressEntry)));
    if (!entry)
        return;
    std::strncpy(entry->address_name, name, sizeof entry->address_name - 1);
    entry->address_name[sizeof entry->address_name - 1] = '\0';
    entry->last_seen = now;
    *tail = entry;
}

int has_address(const AddressEntry* list, const char* name)
{
    for (; list; list = list->next_entry)
        if (std::strcmp(list->address_name, name) == 0)
            return 1;
    return 0;
}
