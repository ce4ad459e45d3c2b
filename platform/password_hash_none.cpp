// A build without a hashing library: every operation fails and says why.
#include "platform/password_hash_backend.h"

std::string hash_backend_missing_reason()
{
    return "this build has no password hashing (OpenSSL's libcrypto was not found when it was configured)";
}

bool hash_backend_random(unsigned char*, std::size_t)
{
    return false;
}

bool hash_backend_pbkdf2_sha256(std::string_view, const unsigned char*, std::size_t, unsigned,
                                unsigned char*, std::size_t)
{
    return false;
}

bool hash_backend_sha1(std::string_view, unsigned char*)
{
    return false;
}

std::string hash_backend_base64_encode(const unsigned char*, std::size_t)
{
    return "";
}

bool hash_backend_base64_decode(std::string_view, unsigned char*, std::size_t)
{
    return false;
}

bool hash_backend_equal(const unsigned char*, const unsigned char*, std::size_t)
{
    return false;
}

void hash_backend_thread_done() {}
