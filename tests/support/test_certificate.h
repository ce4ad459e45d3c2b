// A throwaway self-signed certificate for the TLS tests and the TLS fuzz
// target. Only in builds with OpenSSL: without it there is no TLS to test.
#pragma once

#include "platform/tls.h"

#include <filesystem>
#include <string>

#ifdef QM_HAVE_OPENSSL

// A self-signed certificate for localhost and 127.0.0.1, valid for an hour,
// and its key, written as PEM files name.crt and name.key into dir.
TlsServerFiles self_signed(const std::filesystem::path& dir, const std::string& name);

#endif
