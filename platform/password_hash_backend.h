// Internal to the password hashes and the WebSocket handshake's digest:
// what each system's library provides. Exactly one backend source is
// built: OpenSSL, CNG, or none.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// "" when the backend works; otherwise why there is no hashing.
std::string hash_backend_missing_reason();
bool hash_backend_random(unsigned char* out, std::size_t size);
bool hash_backend_pbkdf2_sha256(std::string_view password, const unsigned char* salt,
                                std::size_t salt_size, unsigned rounds, unsigned char* out,
                                std::size_t out_size);
// SHA-1 of data into out (20 bytes).
bool hash_backend_sha1(std::string_view data, unsigned char* out);
// Standard base64 with padding, on one line.
std::string hash_backend_base64_encode(const unsigned char* bytes, std::size_t size);
// Decodes text, which the caller has checked to be base64 of exactly size
// bytes; false if the library disagrees.
bool hash_backend_base64_decode(std::string_view text, unsigned char* out, std::size_t size);
// Equal in a time that depends on size only, never on where they differ.
bool hash_backend_equal(const unsigned char* a, const unsigned char* b, std::size_t size);
// What the library keeps for the calling thread goes back.
void hash_backend_thread_done();
