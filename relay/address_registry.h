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

