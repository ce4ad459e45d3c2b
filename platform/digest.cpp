#include "platform/digest.h"

#include "platform/password_hash_backend.h"

bool sha1_available()
{
    return hash_backend_missing_reason().empty();
}

std::string sha1_unavailable_reason()
{
    return "this build has no SHA-1 (OpenSSL's libcrypto was not found when it was configured)";
}

std::string sha1_base64(std::string_view data)
{
    unsigned char digest[20];
    if (!hash_backend_sha1(data, digest))
        return "";
    return hash_backend_base64_encode(digest, sizeof digest);
}
