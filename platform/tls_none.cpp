// The build without OpenSSL 3 (Windows among them): the same calls, and
// each says that there is no TLS.
#include "platform/tls.h"

namespace {

const char* const NO_TLS = "this build has no TLS";

TlsContext* none(std::string* error)
{
    *error = NO_TLS;
    return nullptr;
}

} // namespace

bool tls_available()
{
    return false;
}

const char* tls_unavailable_reason()
{
    return NO_TLS;
}

TlsContext* tls_server_context(const TlsServerFiles&, std::string* error)
{
    return none(error);
}

bool tls_server_context_reload(TlsContext**, const TlsServerFiles&, std::string* error)
{
    return none(error) != nullptr;
}

TlsContext* tls_client_context(const std::string&, bool, std::string* error)
{
    return none(error);
}

void tls_context_release(TlsContext*) {}

TlsConnection* tls_accept(TlsContext*, socket_handle, std::string* error)
{
    *error = NO_TLS;
    return nullptr;
}

TlsConnection* tls_connect(TlsContext*, socket_handle, const std::string&, std::string* error)
{
    *error = NO_TLS;
    return nullptr;
}

void tls_connection_free(TlsConnection*) {}

TlsStep tls_handshake(TlsConnection*)
{
    return TlsStep::failed;
}

bool tls_handshake_done(const TlsConnection*)
{
    return false;
}

int tls_recv(TlsConnection*, char*, int)
{
    sock_set_last_error(WSAENOTCONN);
    return -1;
}

int tls_send(TlsConnection*, const char*, int)
{
    sock_set_last_error(WSAENOTCONN);
    return -1;
}

bool tls_wants_write(const TlsConnection*)
{
    return false;
}

bool tls_has_buffered_input(const TlsConnection*)
{
    return false;
}

const char* tls_failure(const TlsConnection*)
{
    return NO_TLS;
}

std::string tls_peer_subject(const TlsConnection*)
{
    return {};
}

std::string tls_peer_fingerprint(const TlsConnection*)
{
    return {};
}
