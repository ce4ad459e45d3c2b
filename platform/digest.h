// The digest of the WebSocket handshake's accept key: SHA-1 in base64, from
// the system's crypto library (OpenSSL's libcrypto on POSIX, CNG on
// Windows). A build without one says so, and its callers refuse the feature.
#pragma once

#include <string>
#include <string_view>

bool sha1_available();
// Why there is no SHA-1, for a message that names the option refused.
std::string sha1_unavailable_reason();

// base64(SHA-1(data)), 28 characters; "" where SHA-1 is unavailable.
std::string sha1_base64(std::string_view data);
