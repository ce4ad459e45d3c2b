#pragma once

#include <ctime>

constexpr std::time_t ADDRESS_TTL = 15; // seconds an unrenewed address is kept

struct AddressEntry;

// The addresses one session has announced as a frame's source. Only the
// functions below look inside; the zero-filled record holds none.
struct HeldAddresses {
    AddressEntry* first;
};

// Records name as an address the holder speaks for, refreshing a match, and
// drops the holder's addresses last announced more than ADDRESS_TTL before
// now. Names are kept cut to 255 bytes but compared whole.
void announce_address(HeldAddresses& held, const char* name, std::time_t now);

// Whether name was announced, whatever its age: an address is forgotten only
// when its holder announces again.
bool holds_address(const HeldAddresses& held, const char* name);

// Gives back every record; the holder speaks for nothing afterwards.
void forget_addresses(HeldAddresses& held);
