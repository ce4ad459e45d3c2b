// Windows: CNG for the hash and the random salt, CryptoAPI's codec for
// base64. Each hash opens its own algorithm handle, so threads share nothing.
#include <windows.h>

#include <bcrypt.h>
#include <wincrypt.h>

#include "platform/password_hash_backend.h"

#include <climits>
#include <vector>

namespace {

bool nt_success(NTSTATUS status)
{
    return status >= 0;
}

} // namespace

std::string hash_backend_missing_reason()
{
    return "";
}

bool hash_backend_random(unsigned char* out, std::size_t size)
{
    return size <= ULONG_MAX &&
           nt_success(BCryptGenRandom(nullptr, out, static_cast<ULONG>(size),
                                      BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

bool hash_backend_pbkdf2_sha256(std::string_view password, const unsigned char* salt,
                                std::size_t salt_size, unsigned rounds, unsigned char* out,
                                std::size_t out_size)
{
    if (password.size() > ULONG_MAX || salt_size > ULONG_MAX || out_size > ULONG_MAX)
        return false;
    BCRYPT_ALG_HANDLE hmac = nullptr;
    if (!nt_success(BCryptOpenAlgorithmProvider(&hmac, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                BCRYPT_ALG_HANDLE_HMAC_FLAG)))
        return false;
    // CNG takes non-const pointers but only reads the password and the salt.
    std::vector<UCHAR> secret(password.begin(), password.end());
    std::vector<UCHAR> salt_copy(salt, salt + salt_size);
    NTSTATUS status = BCryptDeriveKeyPBKDF2(hmac, secret.data(), static_cast<ULONG>(secret.size()),
                                            salt_copy.data(), static_cast<ULONG>(salt_copy.size()),
                                            rounds, out, static_cast<ULONG>(out_size), 0);
    SecureZeroMemory(secret.data(), secret.size());
    BCryptCloseAlgorithmProvider(hmac, 0);
    return nt_success(status);
}

bool hash_backend_sha1(std::string_view data, unsigned char* out)
{
    if (data.size() > ULONG_MAX)
        return false;
    BCRYPT_ALG_HANDLE sha1 = nullptr;
    if (!nt_success(BCryptOpenAlgorithmProvider(&sha1, BCRYPT_SHA1_ALGORITHM, nullptr, 0)))
        return false;
    // CNG takes a non-const pointer but only reads the input.
    std::vector<UCHAR> input(data.begin(), data.end());
    NTSTATUS status = BCryptHash(sha1, nullptr, 0, input.data(), static_cast<ULONG>(input.size()), out, 20);
    BCryptCloseAlgorithmProvider(sha1, 0);
    return nt_success(status);
}

std::string hash_backend_base64_encode(const unsigned char* bytes, std::size_t size)
{
    DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD length = 0;
    if (size > ULONG_MAX || !CryptBinaryToStringA(bytes, static_cast<DWORD>(size), flags, nullptr, &length))
        return "";
    std::string text(length, '\0'); // the length counts the terminator
    if (!CryptBinaryToStringA(bytes, static_cast<DWORD>(size), flags, text.data(), &length))
        return "";
    text.resize(length); // now without the terminator
    return text;
}

bool hash_backend_base64_decode(std::string_view text, unsigned char* out, std::size_t size)
{
    DWORD length = 0;
    if (text.size() > ULONG_MAX ||
        !CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                              nullptr, &length, nullptr, nullptr) ||
        length != size)
        return false;
    return CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                                out, &length, nullptr, nullptr) &&
           length == size;
}

// Windows has no library call for this: every byte is looked at, whatever
// the first difference, so the time says nothing about where it lies.
bool hash_backend_equal(const unsigned char* a, const unsigned char* b, std::size_t size)
{
    volatile unsigned char differences = 0;
    for (std::size_t i = 0; i < size; i++)
        differences = differences | (a[i] ^ b[i]);
    return differences == 0;
}

void hash_backend_thread_done() {}
