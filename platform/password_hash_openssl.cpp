// POSIX: OpenSSL's libcrypto, which is safe to call from any thread.
#include "platform/password_hash_backend.h"

#include <algorithm>
#include <climits>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <vector>

std::string hash_backend_missing_reason()
{
    return "";
}

bool hash_backend_random(unsigned char* out, std::size_t size)
{
    return size <= INT_MAX && RAND_bytes(out, static_cast<int>(size)) == 1;
}

bool hash_backend_pbkdf2_sha256(std::string_view password, const unsigned char* salt,
                                std::size_t salt_size, unsigned rounds, unsigned char* out,
                                std::size_t out_size)
{
    if (password.size() > INT_MAX || salt_size > INT_MAX || rounds > INT_MAX || out_size > INT_MAX)
        return false;
    return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt,
                             static_cast<int>(salt_size), static_cast<int>(rounds), EVP_sha256(),
                             static_cast<int>(out_size), out) == 1;
}

bool hash_backend_sha1(std::string_view data, unsigned char* out)
{
    unsigned int size = 0;
    return EVP_Digest(data.data(), data.size(), out, &size, EVP_sha1(), nullptr) == 1 && size == 20;
}

std::string hash_backend_base64_encode(const unsigned char* bytes, std::size_t size)
{
    // Four characters for every three bytes begun, and the terminator.
    std::vector<unsigned char> text((size + 2) / 3 * 4 + 1);
    int length = EVP_EncodeBlock(text.data(), bytes, static_cast<int>(size));
    return std::string(reinterpret_cast<const char*>(text.data()), static_cast<std::size_t>(length));
}

bool hash_backend_base64_decode(std::string_view text, unsigned char* out, std::size_t size)
{
    // EVP_DecodeBlock writes three bytes for every four characters, the
    // padding's zero bytes included.
    std::vector<unsigned char> bytes(text.size() / 4 * 3);
    int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                 static_cast<int>(text.size()));
    if (length < 0 || static_cast<std::size_t>(length) < size)
        return false;
    std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size), out);
    return true;
}

bool hash_backend_equal(const unsigned char* a, const unsigned char* b, std::size_t size)
{
    return CRYPTO_memcmp(a, b, size) == 0;
}

// Its per-thread state is freed when the thread ends anyway; freed here, it
// is gone before the process can end around a thread still ending.
void hash_backend_thread_done()
{
    OPENSSL_thread_stop();
}
