#pragma once

#include <ctime>

constexpr std::time_t ADDRESS_TTL = 15; // seconds an unrenewed address is kept

// One address a session has announced as a frame's source.
struct AddressEntry {
    char address_name[256];
    std::time_t last_seen;
    AddressEntry* next_entry;
};

// Frees every entry from first on.
void free_address_list(AddressEntry* first);

// Records name as an address the session speaks for, refreshing a match,
// and drops the list's entries last seen more than ADDRESS_TTL ago. Names
// are kept cut to 255 bytes but compared whole.
void register_address(AddressEntry** list, const char* name);

// 1 when some entry of list is named name, whatever its age.
int has_address(const AddressEntry* list, const char* name);
