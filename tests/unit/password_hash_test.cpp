#include "platform/password_hash.h"

#include <gtest/gtest.h>
#include <string>

namespace {

TEST(PasswordHash, ARoundTripWithAFreshSaltEachTime)
{
    if (!password_hashing_available())
        GTEST_SKIP() << password_hashing_unavailable_reason();
    std::string first = password_hash_new("correct horse");
    std::string second = password_hash_new("correct horse");
    ASSERT_TRUE(password_hash_well_formed(first)) << first;
    EXPECT_NE(first, second);
    EXPECT_TRUE(password_hash_verify("correct horse", first));
    EXPECT_TRUE(password_hash_verify("correct horse", second));
    EXPECT_FALSE(password_hash_verify("correct horsE", first));
    EXPECT_FALSE(password_hash_verify("correct horse ", first));
    EXPECT_FALSE(password_hash_verify("", first));
}

TEST(PasswordHash, AKnownFieldVerifies)
{
    if (!password_hashing_available())
        GTEST_SKIP() << password_hashing_unavailable_reason();
    // PBKDF2-HMAC-SHA-256 of "secret", salt the bytes 0..15, 1000 rounds,
    // as `openssl kdf` computes it.
    const std::string field =
        "$pbkdf2-sha256$1000$AAECAwQFBgcICQoLDA0ODw==$Tvsru20utY6o3q7VRBeuL9h/1QqKhWhwk2PaYNRWBgY=";
    EXPECT_TRUE(password_hash_verify("secret", field));
    EXPECT_FALSE(password_hash_verify("Secret", field));
}

TEST(PasswordHash, MalformedFieldsAreRefused)
{
    const std::string salt = "AAECAwQFBgcICQoLDA0ODw==";
    const std::string hash = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
    EXPECT_TRUE(password_hash_well_formed("$pbkdf2-sha256$1000$" + salt + "$" + hash));
    for (std::string bad : {
             std::string("plain"),
             "$pbkdf2-sha512$1000$" + salt + "$" + hash,
             "$pbkdf2-sha256$999$" + salt + "$" + hash,
             "$pbkdf2-sha256$01000$" + salt + "$" + hash,
             "$pbkdf2-sha256$10000001$" + salt + "$" + hash,
             "$pbkdf2-sha256$99999999999999999999$" + salt + "$" + hash,
             "$pbkdf2-sha256$1000$" + salt + "$" + hash + "=",
             "$pbkdf2-sha256$1000$" + salt.substr(1) + "$" + hash,
             "$pbkdf2-sha256$1000$" + salt + "$" + hash.substr(0, 42) + "!=",
             "$pbkdf2-sha256$1000$" + salt + hash,
         }) {
        EXPECT_FALSE(password_hash_well_formed(bad)) << bad;
        EXPECT_FALSE(password_hash_verify("secret", bad)) << bad;
    }
}

} // namespace
