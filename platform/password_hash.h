// Salted, deliberately slow password hashes, kept as one self-describing
// field of text:
//
//     $pbkdf2-sha256$ROUNDS$SALT$HASH
//
// PBKDF2-HMAC-SHA-256 over ROUNDS rounds (decimal), with a 16-byte random
// SALT and a 32-byte HASH, both in standard base64 with padding. The work is
// done by the system's library: OpenSSL's libcrypto on POSIX, CNG on Windows.
// Every function may be called from any thread.
#pragma once

#include <string>
#include <string_view>

// The rounds a new hash gets: one verification costs about 25 ms on a
// 2020s x86-64 core. Raising it makes new hashes slower; old ones keep theirs.
constexpr unsigned PASSWORD_HASH_ROUNDS = 120000;
// The rounds a stored hash may have: fewer is no protection, more would let
// one login attempt hold a core for seconds.
constexpr unsigned PASSWORD_HASH_ROUNDS_MIN = 1000;
constexpr unsigned PASSWORD_HASH_ROUNDS_MAX = 10000000;

// False in a build without a hashing library; the reason then says so.
bool password_hashing_available();
std::string password_hashing_unavailable_reason();

// A new field for password with a fresh salt, so the same password hashed
// twice gives two different fields; "" when hashing is unavailable or the
// system's random source failed.
std::string password_hash_new(std::string_view password);

// True when password is the one stored was made from. The hashes are compared
// in constant time. False for a field that is not well formed, and always
// false when hashing is unavailable.
bool password_hash_verify(std::string_view password, std::string_view stored);

// True when stored has the form above with rounds in range; pure text, so
// it answers the same with or without a hashing library.
bool password_hash_well_formed(std::string_view stored);

// A thread that verified passwords and is about to end gives back what the
// library keeps for it; nothing where the library keeps nothing.
void password_hash_thread_done();
