// The field's text, shared by every backend; the backend does the hashing,
// the random salt and the base64.
#include "platform/password_hash.h"
#include "platform/password_hash_backend.h"

#include <array>
#include <charconv>

namespace {

constexpr std::string_view SCHEME = "$pbkdf2-sha256$";
constexpr std::size_t SALT_BYTES = 16;
constexpr std::size_t HASH_BYTES = 32;

constexpr std::size_t base64_length(std::size_t bytes)
{
    return (bytes + 2) / 3 * 4;
}

constexpr std::size_t base64_padding(std::size_t bytes)
{
    return (3 - bytes % 3) % 3;
}

bool is_base64_digit(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

// Exactly the base64 of a given number of bytes: digits, then its padding.
bool is_base64_of(std::string_view text, std::size_t bytes)
{
    if (text.size() != base64_length(bytes))
        return false;
    std::size_t digits = text.size() - base64_padding(bytes);
    for (std::size_t i = 0; i < text.size(); i++) {
        if (i < digits ? !is_base64_digit(text[i]) : text[i] != '=')
            return false;
    }
    return true;
}

struct Field {
    unsigned rounds = 0;
    std::string_view salt; // base64
    std::string_view hash; // base64
};

bool parse_field(std::string_view stored, Field* field)
{
    if (!stored.starts_with(SCHEME))
        return false;
    stored.remove_prefix(SCHEME.size());
    std::size_t rounds_end = stored.find('$');
    if (rounds_end == std::string_view::npos || rounds_end == 0 || stored[0] == '0')
        return false;
    auto [end, error] = std::from_chars(stored.data(), stored.data() + rounds_end, field->rounds);
    if (error != std::errc{} || end != stored.data() + rounds_end ||
        field->rounds < PASSWORD_HASH_ROUNDS_MIN || field->rounds > PASSWORD_HASH_ROUNDS_MAX)
        return false;
    stored.remove_prefix(rounds_end + 1);
    std::size_t salt_end = stored.find('$');
    if (salt_end == std::string_view::npos)
        return false;
    field->salt = stored.substr(0, salt_end);
    field->hash = stored.substr(salt_end + 1);
    return is_base64_of(field->salt, SALT_BYTES) && is_base64_of(field->hash, HASH_BYTES);
}

} // namespace

bool password_hashing_available()
{
    return hash_backend_missing_reason().empty();
}

std::string password_hashing_unavailable_reason()
{
    return hash_backend_missing_reason();
}

std::string password_hash_new(std::string_view password)
{
    std::array<unsigned char, SALT_BYTES> salt{};
    std::array<unsigned char, HASH_BYTES> hash{};
    if (!password_hashing_available() || !hash_backend_random(salt.data(), salt.size()) ||
        !hash_backend_pbkdf2_sha256(password, salt.data(), salt.size(), PASSWORD_HASH_ROUNDS,
                                    hash.data(), hash.size()))
        return "";
    return std::string(SCHEME) + std::to_string(PASSWORD_HASH_ROUNDS) + "$" +
           hash_backend_base64_encode(salt.data(), salt.size()) + "$" +
           hash_backend_base64_encode(hash.data(), hash.size());
}

bool password_hash_verify(std::string_view password, std::string_view stored)
{
    Field field;
    std::array<unsigned char, SALT_BYTES> salt{};
    std::array<unsigned char, HASH_BYTES> expected{};
    std::array<unsigned char, HASH_BYTES> hash{};
    return parse_field(stored, &field) && password_hashing_available() &&
           hash_backend_base64_decode(field.salt, salt.data(), salt.size()) &&
           hash_backend_base64_decode(field.hash, expected.data(), expected.size()) &&
           hash_backend_pbkdf2_sha256(password, salt.data(), salt.size(), field.rounds, hash.data(),
                                      hash.size()) &&
           hash_backend_equal(hash.data(), expected.data(), hash.size());
}

bool password_hash_well_formed(std::string_view stored)
{
    Field field;
    return parse_field(stored, &field);
}

void password_hash_thread_done()
{
    hash_backend_thread_done();
}
