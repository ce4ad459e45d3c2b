#include "switch/address_registry.h"

#include "platform/platform.h"

#include <cstring>

struct AddressEntry {
    char name[256];
    std::time_t last_seen;
    AddressEntry* next;
};

namespace {

// The refresh comes before the age test, so a matching entry is never
// dropped in the call that announces it. The walk does not stop at a match.
// Returns the link at the end of the list, where a new entry belongs.
AddressEntry** refresh_or_expire(AddressEntry** link, const char* name, std::time_t now,
                                 bool* found)
{
    while (AddressEntry* entry = *link) {
        if (std::strcmp(entry->name, name) == 0) {
            entry->last_seen = now;
            *found = true;
        }
        if (entry->last_seen + ADDRESS_TTL < now) {
            *link = entry->next;
            platform.release(entry);
        } else {
            link = &entry->next;
        }
    }
    return link;
}

} // namespace

void announce_address(HeldAddresses& held, const char* name, std::time_t now)
{
    bool found = false;
    AddressEntry** tail = refresh_or_expire(&held.first, name, now, &found);
    if (found)
        return;
    // Without memory the address is simply not recorded; the frame is
    // still relayed.
    auto* entry = static_cast<AddressEntry*>(mem_zalloc(sizeof(AddressEntry)));
    if (!entry)
        return;
    std::strncpy(entry->name, name, sizeof entry->name - 1);
    entry->last_seen = now;
    *tail = entry;
}

bool holds_address(const HeldAddresses& held, const char* name)
{
    for (const AddressEntry* entry = held.first; entry; entry = entry->next)
        if (std::strcmp(entry->name, name) == 0)
            return true;
    return false;
}

void forget_addresses(HeldAddresses& held)
{
    while (AddressEntry* entry = held.first) {
        held.first = entry->next;
        platform.release(entry);
    }
}
