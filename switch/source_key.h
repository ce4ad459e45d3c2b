#pragma once

#include "platform/platform.h"

#include <compare>
#include <cstdint>
#include <cstring>

// Where a client comes from, as the bounds on logins count it: the refused
// logins, the order of password checks and the dialogues under pressure.
// An IPv4 address counts whole; an IPv6 address by its first 64 bits, since
// one host usually holds a whole /64 and could otherwise walk around every
// bound, and fill every table, by changing the last 64.
struct SourceKey {
    bool ipv6;
    std::uint64_t prefix; // the address's first 4 or 8 octets, as they come

    auto operator<=>(const SourceKey&) const = default;
};

inline SourceKey source_key(const PeerAddress& peer)
{
    SourceKey key{peer.ipv6, 0};
    std::memcpy(&key.prefix, peer.octets, peer.ipv6 ? 8 : 4);
    return key;
}
