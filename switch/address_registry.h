#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

constexpr std::time_t ADDRESS_TTL = 15;      // seconds an unrenewed address is kept
constexpr std::size_t ADDRESS_NAME_MAX = 255; // longer names are cut, here and in look-ups
constexpr std::size_t DEFAULT_MAX_ADDRESSES = 4096; // per session

struct Session;
struct AddressEntry;

// The records one session holds, least recently announced first, so that
// expiry and eviction only ever look at the front. Plain pointers: the
// zero-filled session holds none, and only the functions below look inside.
struct HeldAddresses {
    AddressEntry* oldest;
    AddressEntry* newest;
    std::size_t count;
};

// The holders' records of one name, in their holders' order of acceptance
// (the order receivers are served in).
struct NameHolders {
    AddressEntry* first = nullptr;
    AddressEntry* last = nullptr;
};

struct AddressNameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const noexcept
    {
        return std::hash<std::string_view>{}(name);
    }
};

// Told when a name gets its first record and when its last record goes,
// with the name as stored (the cluster subscribes and unsubscribes by
// them). Neither may change the registry.
struct NameWatch {
    void (*appeared)(void* context, std::string_view name) = nullptr;
    void (*vanished)(void* context, std::string_view name) = nullptr;
    void* context = nullptr;
};

// Every stored name with its records. One server owns one registry.
struct AddressRegistry {
    std::unordered_map<std::string, NameHolders, AddressNameHash, std::equal_to<>> by_name;
    // Names taken out of the index so far: a remembered slot is good while
    // this has not moved (slots stay put when the index grows).
    std::uint64_t names_erased = 0;
    // Past it a holder's least recently announced address makes room.
    std::size_t max_per_holder = DEFAULT_MAX_ADDRESSES;
    NameWatch watch;
};

// Records name as an address the holder speaks for, refreshing a match, and
// drops the holder's records last announced more than ADDRESS_TTL before
// now. A name is kept and compared cut to ADDRESS_NAME_MAX bytes, so names
// that differ only after that are one address. Without memory the name is
// simply not recorded.
void announce_address(AddressRegistry& registry, Session& holder, std::string_view name,
                      std::time_t now);

// Drops the holder's records whose name keep refuses. Costs a call of keep
// per record of the holder.
void forget_addresses_unless(AddressRegistry& registry, Session& holder,
                             const std::function<bool(std::string_view)>& keep);

// Gives back every record of the holder; it speaks for nothing afterwards.
void forget_holder(AddressRegistry& registry, Session& holder);

// The most recently announced names the holder speaks for, at most most of
// them, least recently announced first; the views last as long as the
// records. Costs a step per name returned.
std::vector<std::string_view> names_held(const Session& holder, std::size_t most);

// The sessions holding a name (cut like an announced one), whatever the age
// of their records (an address is forgotten only when its holder announces
// again): each once, in order of acceptance.
struct HolderWalk {
    const AddressEntry* next;
};

HolderWalk holders_of(const AddressRegistry& registry, std::string_view name);

// A sender's last destination, remembered so that the next frame to it is
// routed without hashing its name. The zero-filled one remembers nothing.
struct DestinationLookup {
    const std::pair<const std::string, NameHolders>* slot;
    std::uint64_t names_erased;
};

// holders_of, looking in last before the index, and remembering there.
HolderWalk holders_of(const AddressRegistry& registry, std::string_view name, DestinationLookup& last);

// The next holder of the walk, or null at its end.
Session* next_holder(HolderWalk& walk);
