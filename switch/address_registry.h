#pragma once

#include <cstddef>
#include <ctime>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

constexpr std::time_t ADDRESS_TTL = 15;      // seconds an unrenewed address is kept
constexpr std::size_t ADDRESS_NAME_MAX = 255; // longer names are stored cut

struct Session;
struct AddressEntry;

// The records one session holds, least recently announced first, so that
// expiry only ever looks at the front. Plain pointers: the zero-filled
// session holds none, and only the functions below look inside.
struct HeldAddresses {
    AddressEntry* oldest;
    AddressEntry* newest;
};

struct AddressNameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const noexcept
    {
        return std::hash<std::string_view>{}(name);
    }
};

// Every stored name with its records, ordered by their holders' acceptance
// (the order receivers are served in). One server owns one registry.
struct AddressRegistry {
    std::unordered_map<std::string, std::vector<AddressEntry*>, AddressNameHash, std::equal_to<>>
        by_name;
};

// Records name as an address the holder speaks for, refreshing a match, and
// drops the holder's records last announced more than ADDRESS_TTL before
// now. Names are kept cut to ADDRESS_NAME_MAX bytes but compared whole, so a
// longer name never matches and adds a record each time. Without memory the
// name is simply not recorded.
void announce_address(AddressRegistry& registry, Session& holder, std::string_view name,
                      std::time_t now);

// Gives back every record of the holder; it speaks for nothing afterwards.
void forget_holder(AddressRegistry& registry, Session& holder);

// The sessions holding a name, whatever the age of their records (an
// address is forgotten only when its holder announces again): each once,
// in order of acceptance.
struct HolderWalk {
    std::span<AddressEntry* const> records;
    std::size_t at;
};

HolderWalk holders_of(const AddressRegistry& registry, std::string_view name);

// The next holder of the walk, or null at its end.
Session* next_holder(HolderWalk& walk);
