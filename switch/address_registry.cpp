#include "switch/address_registry.h"

#include "platform/platform.h"
#include "switch/session.h"

#include <algorithm>
#include <cstdint>
#include <new>

using NameSlot = decltype(AddressRegistry::by_name)::value_type;

struct AddressEntry {
    Session* holder;
    std::time_t last_seen;
    // The holder's records, in the order they were last announced.
    AddressEntry* older;
    AddressEntry* newer;
    // The (cut) name the record is listed under; slots do not move when the
    // index grows.
    NameSlot* slot;
};

namespace {

using Records = std::vector<AddressEntry*>;

// Where the holder's records of one name begin, or would begin.
Records::iterator first_of_holder(Records& records, const Session& holder)
{
    return std::lower_bound(records.begin(), records.end(), holder.accept_number,
                            [](const AddressEntry* entry, std::uint64_t accept_number) {
                                return entry->holder->accept_number < accept_number;
                            });
}

Records::iterator after_holder(Records& records, const Session& holder)
{
    return std::upper_bound(records.begin(), records.end(), holder.accept_number,
                            [](std::uint64_t accept_number, const AddressEntry* entry) {
                                return accept_number < entry->holder->accept_number;
                            });
}

void link_newest(HeldAddresses& held, AddressEntry* entry)
{
    entry->older = held.newest;
    entry->newer = nullptr;
    (held.newest ? held.newest->newer : held.oldest) = entry;
    held.newest = entry;
}

void unlink(HeldAddresses& held, AddressEntry* entry)
{
    (entry->older ? entry->older->newer : held.oldest) = entry->newer;
    (entry->newer ? entry->newer->older : held.newest) = entry->older;
}

// Takes the record out of the index and its holder's list, and frees it.
void drop(AddressRegistry& registry, AddressEntry* entry)
{
    Records& records = entry->slot->second;
    records.erase(std::find(first_of_holder(records, *entry->holder), records.end(), entry));
    if (records.empty())
        registry.by_name.erase(registry.by_name.find(entry->slot->first));
    unlink(entry->holder->addresses, entry);
    platform.release(entry);
}

// Stored names are at most ADDRESS_NAME_MAX bytes, so a longer name finds
// nothing here, as the whole-name comparison demands. A holder with several
// records of one cut name gets the first refreshed: it then outlives the
// others, so what the holder speaks for is the same as if all were.
AddressEntry* find_record(AddressRegistry& registry, const Session& holder, std::string_view name)
{
    auto slot = registry.by_name.find(name);
    if (slot == registry.by_name.end())
        return nullptr;
    auto at = first_of_holder(slot->second, holder);
    return at != slot->second.end() && (*at)->holder == &holder ? *at : nullptr;
}

// The std containers report exhaustion by throwing; like a refused record,
// a failed insertion leaves the name unrecorded and the index as it was.
bool add_to_index(AddressRegistry& registry, AddressEntry* entry, std::string_view stored)
{
    auto slot = registry.by_name.find(stored);
    try {
        if (slot == registry.by_name.end())
            slot = registry.by_name.try_emplace(std::string(stored)).first;
        slot->second.insert(after_holder(slot->second, *entry->holder), entry);
    } catch (const std::bad_alloc&) {
        if (slot != registry.by_name.end() && slot->second.empty())
            registry.by_name.erase(slot);
        return false;
    }
    entry->slot = &*slot;
    return true;
}

void record(AddressRegistry& registry, Session& holder, std::string_view name, std::time_t now)
{
    auto* entry = static_cast<AddressEntry*>(mem_zalloc(sizeof(AddressEntry)));
    if (!entry)
        return;
    entry->holder = &holder;
    entry->last_seen = now;
    if (!add_to_index(registry, entry, name.substr(0, ADDRESS_NAME_MAX))) {
        platform.release(entry);
        return;
    }
    link_newest(holder.addresses, entry);
}

} // namespace

void announce_address(AddressRegistry& registry, Session& holder, std::string_view name,
                      std::time_t now)
{
    HeldAddresses& held = holder.addresses;
    // The refresh comes before expiry, so a match is never dropped in the
    // call that announces it.
    AddressEntry* match = find_record(registry, holder, name);
    if (match) {
        match->last_seen = now;
        unlink(held, match);
        link_newest(held, match);
    }
    // Oldest first: the first record young enough ends the expiry. (Should
    // the clock step back, a record behind a younger-stamped one waits for
    // that one to expire first.)
    while (held.oldest && held.oldest->last_seen + ADDRESS_TTL < now)
        drop(registry, held.oldest);
    if (!match)
        record(registry, holder, name, now);
}

void forget_holder(AddressRegistry& registry, Session& holder)
{
    while (holder.addresses.oldest)
        drop(registry, holder.addresses.oldest);
}

HolderWalk holders_of(const AddressRegistry& registry, std::string_view name)
{
    auto slot = registry.by_name.find(name);
    if (slot == registry.by_name.end())
        return {};
    return {slot->second, 0};
}

Session* next_holder(HolderWalk& walk)
{
    // A holder's several records of one cut name lie side by side.
    const Session* previous = walk.at > 0 ? walk.records[walk.at - 1]->holder : nullptr;
    while (walk.at < walk.records.size()) {
        Session* holder = walk.records[walk.at++]->holder;
        if (holder != previous)
            return holder;
    }
    return nullptr;
}
