#include "switch/address_registry.h"

#include "platform/platform.h"
#include "switch/session.h"

#include <algorithm>
#include <new>

using NameSlot = decltype(AddressRegistry::by_name)::value_type;

struct AddressEntry {
    Session* holder;
    std::time_t last_seen;
    // The holder's records, in the order they were last announced.
    AddressEntry* older;
    AddressEntry* newer;
    // The records of the same name, in their holders' order of acceptance.
    AddressEntry* previous_holder;
    AddressEntry* next_holder;
    // The name the record is listed under; slots do not move when the index
    // grows.
    NameSlot* slot;
};

namespace {

constexpr std::size_t GIVE_BACK_AFTER_RECORDS = 1024;

std::string_view stored_name(std::string_view name)
{
    return name.substr(0, ADDRESS_NAME_MAX);
}

// Names are mostly a few bytes, and a relayed frame compares two: this loop
// costs less than the call of memcmp that operator== makes, which was 3 %
// of a relay's time under a burst.
bool same_name(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); i++)
        if (a[i] != b[i])
            return false;
    return true;
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

// Walks back from the name's last holder: the newest sessions are the
// likeliest to announce a name first. Costs up to one step per holder of
// the name, as relaying a frame to it does.
void link_by_acceptance(NameHolders& holders, AddressEntry* entry)
{
    AddressEntry* before = holders.last;
    while (before && before->holder->accept_number > entry->holder->accept_number)
        before = before->previous_holder;
    entry->previous_holder = before;
    entry->next_holder = before ? before->next_holder : holders.first;
    (entry->next_holder ? entry->next_holder->previous_holder : holders.last) = entry;
    (before ? before->next_holder : holders.first) = entry;
}

void unlink_holder(NameHolders& holders, AddressEntry* entry)
{
    (entry->previous_holder ? entry->previous_holder->next_holder : holders.first) =
        entry->next_holder;
    (entry->next_holder ? entry->next_holder->previous_holder : holders.last) =
        entry->previous_holder;
}

// Takes the record out of the index and its holder's list, and frees it:
// constant time, however many records the name or the holder has.
void drop(AddressRegistry& registry, AddressEntry* entry)
{
    NameSlot* slot = entry->slot;
    unlink_holder(slot->second, entry);
    if (!slot->second.first) {
        if (registry.watch.vanished)
            registry.watch.vanished(registry.watch.context, slot->first);
        registry.by_name.erase(registry.by_name.find(slot->first));
        registry.names_erased++;
    }
    HeldAddresses& held = entry->holder->addresses.held;
    unlink(held, entry);
    held.count--;
    platform.release(entry);
}

// Each holder has at most one record of a name. Costs up to one step per
// holder of the name.
AddressEntry* find_record(AddressRegistry& registry, const Session& holder, std::string_view name)
{
    auto slot = registry.by_name.find(name);
    if (slot == registry.by_name.end())
        return nullptr;
    for (AddressEntry* e = slot->second.first; e; e = e->next_holder)
        if (e->holder == &holder)
            return e;
    return nullptr;
}

// The std containers report exhaustion by throwing; like a refused record,
// a failed insertion leaves the name unrecorded and the index as it was.
bool add_to_index(AddressRegistry& registry, AddressEntry* entry, std::string_view name)
{
    auto slot = registry.by_name.find(name);
    if (slot == registry.by_name.end()) {
        try {
            slot = registry.by_name.try_emplace(std::string(name)).first;
        } catch (const std::bad_alloc&) {
            return false;
        }
        if (registry.watch.appeared)
            registry.watch.appeared(registry.watch.context, slot->first);
    }
    link_by_acceptance(slot->second, entry);
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
    if (!add_to_index(registry, entry, name)) {
        platform.release(entry);
        return;
    }
    link_newest(holder.addresses.held, entry);
    holder.addresses.held.count++;
}

} // namespace

void announce_address(AddressRegistry& registry, Session& holder, std::string_view name,
                      std::time_t now)
{
    name = stored_name(name);
    HeldAddresses& held = holder.addresses.held;
    // The refresh comes before expiry, so a match is never dropped in the
    // call that announces it. A sender mostly announces the address it
    // announced last: that one is found without hashing the name.
    AddressEntry* match = held.newest && same_name(held.newest->slot->first, name) ? held.newest
                                                                           : find_record(registry, holder, name);
    if (match) {
        match->last_seen = now;
        if (match != held.newest) {
            unlink(held, match);
            link_newest(held, match);
        }
    }
    // Oldest first: the first record young enough ends the expiry. (Should
    // the clock step back, a record behind a younger-stamped one waits for
    // that one to expire first.)
    while (held.oldest && held.oldest->last_seen + ADDRESS_TTL < now)
        drop(registry, held.oldest);
    if (match)
        return;
    while (held.count >= registry.max_per_holder && held.oldest)
        drop(registry, held.oldest);
    record(registry, holder, name, now);
}

void forget_addresses_unless(AddressRegistry& registry, Session& holder,
                             const std::function<bool(std::string_view)>& keep)
{
    for (AddressEntry* e = holder.addresses.held.oldest; e;) {
        AddressEntry* newer = e->newer;
        if (!keep(e->slot->first))
            drop(registry, e);
        e = newer;
    }
}

void forget_holder(AddressRegistry& registry, Session& holder)
{
    const std::size_t held = holder.addresses.held.count;
    while (holder.addresses.held.oldest)
        drop(registry, holder.addresses.held.oldest);
    // Small records freed by the thousand leave holes all over the heap that
    // the C library keeps for ever, and the index keeps its buckets: once a
    // holder of many leaves, both go back to the system. Costs a walk of the
    // heap's free blocks, at most once per that many announcements.
    if (held < GIVE_BACK_AFTER_RECORDS)
        return;
    try {
        registry.by_name.rehash(0);
    } catch (const std::bad_alloc&) {
    }
    give_back_freed_memory();
}

HolderWalk holders_of(const AddressRegistry& registry, std::string_view name)
{
    DestinationLookup nothing_remembered{};
    return holders_of(registry, name, nothing_remembered);
}

HolderWalk holders_of(const AddressRegistry& registry, std::string_view name, DestinationLookup& last)
{
    name = stored_name(name);
    if (last.slot && last.names_erased == registry.names_erased && same_name(last.slot->first, name))
        return {last.slot->second.first};
    auto slot = registry.by_name.find(name);
    if (slot == registry.by_name.end())
        return {nullptr};
    last = {&*slot, registry.names_erased};
    return {slot->second.first};
}

Session* next_holder(HolderWalk& walk)
{
    if (!walk.next)
        return nullptr;
    Session* holder = walk.next->holder;
    walk.next = walk.next->next_holder;
    return holder;
}

// Costs a walk of the holder's records.
std::vector<std::string_view> names_held(const Session& holder, std::size_t most)
{
    std::vector<std::string_view> names(std::min(most, holder.addresses.held.count));
    const AddressEntry* e = holder.addresses.held.newest;
    for (std::size_t i = names.size(); i > 0; i--, e = e->older)
        names[i - 1] = e->slot->first;
    return names;
}
