// TLS with OpenSSL 3 (libssl). The library reads and writes through a BIO
// of our own over the platform table's recv and send, so the socket calls
// keep their WinSock error codes and MSG_NOSIGNAL.
#include "platform/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <new>

struct TlsContext {
    SSL_CTX* ctx;
};

struct TlsConnection {
    SSL* ssl = nullptr;
    socket_handle sock = INVALID_SOCKET_HANDLE;
    bool want_write = false;
    // The socket's recv returned 0: the library must hear of the end of the
    // stream (BIO_CTRL_EOF) to take it as a close rather than a failure.
    bool eof = false;
    // After a fatal error the library must not be asked for a closing alert.
    bool broken = false;
    int socket_error = 0; // the WSA code of the last failed socket call
    std::string failure;
};

namespace {

// The first error the library queued, the most specific one, in its own
// words with its detail ("No such file or directory", "no start line
// (Expecting: CERTIFICATE)"); clears the queue.
std::string library_reason()
{
    const char* data = nullptr;
    int flags = 0;
    unsigned long code = ERR_peek_error_data(&data, &flags);
    std::string text;
    if (code == 0) {
        text = "unknown error";
    } else if (ERR_SYSTEM_ERROR(code)) {
        text = std::strerror(static_cast<int>(ERR_GET_REASON(code)));
    } else {
        const char* reason = ERR_reason_error_string(code);
        text = reason ? reason : "error " + std::to_string(code);
        if (data && *data && (flags & ERR_TXT_STRING))
            text += std::string(" (") + data + ")";
    }
    ERR_clear_error();
    return text;
}

TlsConnection* owner_of(BIO* bio)
{
    return static_cast<TlsConnection*>(BIO_get_data(bio));
}

// A call that would block, or was interrupted, is retried by the library's
// caller; anything else is kept for the error the caller reports.
int socket_result(BIO* bio, int n, bool reading)
{
    BIO_clear_retry_flags(bio);
    if (n >= 0)
        return n;
    int code = sock_last_error();
    if (code == WSAEWOULDBLOCK || code == WSAEINTR || code == WSAENOBUFS) {
        if (reading)
            BIO_set_retry_read(bio);
        else
            BIO_set_retry_write(bio);
    } else {
        owner_of(bio)->socket_error = code;
    }
    return -1;
}

int bio_read(BIO* bio, char* buffer, int size)
{
    int n = platform.recv(owner_of(bio)->sock, buffer, size);
    if (n == 0)
        owner_of(bio)->eof = true;
    return socket_result(bio, n, true);
}

int bio_write(BIO* bio, const char* data, int size)
{
    return socket_result(bio, platform.send(owner_of(bio)->sock, data, size, 0), false);
}

long bio_ctrl(BIO* bio, int command, long, void*)
{
    // Writes go straight to the socket: there is nothing to flush.
    if (command == BIO_CTRL_FLUSH)
        return 1;
    // With SSL_OP_IGNORE_UNEXPECTED_EOF, a stream that ended here reads as
    // the closing alert would (SSL_ERROR_ZERO_RETURN).
    if (command == BIO_CTRL_EOF)
        return owner_of(bio)->eof ? 1 : 0;
    return 0;
}

// Made once and kept for the life of the process: every connection's BIO
// refers to it.
const BIO_METHOD* socket_method()
{
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "platform socket");
        if (m && (!BIO_meth_set_read(m, bio_read) || !BIO_meth_set_write(m, bio_write) ||
                  !BIO_meth_set_ctrl(m, bio_ctrl))) {
            BIO_meth_free(m);
            m = nullptr;
        }
        return m;
    }();
    return method;
}

SSL_CTX* new_ssl_context(const SSL_METHOD* method)
{
    SSL_CTX* ctx = SSL_CTX_new(method);
    if (!ctx)
        return nullptr;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // A peer that closes without the closing alert has closed, as a plain
    // one does: frames carry their own end, so nothing can be cut short
    // unnoticed. Renegotiation would let a client make us redo handshakes.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    // Partial writes give send()'s contract; a retry may come from a queue
    // that moved; an idle connection gives its buffers (about 34 KB) back.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_RELEASE_BUFFERS);
    return ctx;
}

TlsContext* wrap(SSL_CTX* ctx, std::string* error)
{
    auto* context = new (std::nothrow) TlsContext{ctx};
    if (!context) {
        SSL_CTX_free(ctx);
        *error = "out of memory";
    }
    return context;
}

// Loads the server's files into ctx; "" on success, else the reason.
std::string load_server_files(SSL_CTX* ctx, const TlsServerFiles& files)
{
    if (SSL_CTX_use_certificate_chain_file(ctx, files.cert.c_str()) != 1)
        return "cannot load certificate " + files.cert + ": " + library_reason();
    // The library refuses a key that does not belong to the certificate.
    if (SSL_CTX_use_PrivateKey_file(ctx, files.key.c_str(), SSL_FILETYPE_PEM) != 1) {
        unsigned long code = ERR_peek_error();
        bool mismatch = ERR_GET_LIB(code) == ERR_LIB_X509 && ERR_GET_REASON(code) == X509_R_KEY_VALUES_MISMATCH;
        std::string reason = library_reason();
        if (mismatch)
            return "key " + files.key + " does not match certificate " + files.cert;
        return "cannot load key " + files.key + ": " + reason;
    }
    if (files.client_ca.empty())
        return {};
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(files.client_ca.c_str());
    if (!names || SSL_CTX_load_verify_locations(ctx, files.client_ca.c_str(), nullptr) != 1) {
        sk_X509_NAME_pop_free(names, X509_NAME_free);
        return "cannot load client CA " + files.client_ca + ": " + library_reason();
    }
    SSL_CTX_set_client_CA_list(ctx, names);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    return {};
}

TlsConnection* new_connection(TlsContext* context, socket_handle sock, std::string* error)
{
    ERR_clear_error();
    auto* tls = new (std::nothrow) TlsConnection;
    const BIO_METHOD* method = socket_method();
    BIO* bio = method ? BIO_new(method) : nullptr;
    SSL* ssl = SSL_new(context->ctx);
    if (!tls || !bio || !ssl) {
        *error = "cannot start TLS: " + library_reason();
        SSL_free(ssl);
        BIO_free(bio);
        delete tls;
        return nullptr;
    }
    tls->ssl = ssl;
    tls->sock = sock;
    BIO_set_data(bio, tls);
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl, bio, bio);
    return tls;
}

// What a call that did not go through means under the platform's contract:
// -1 with WSAEWOULDBLOCK while it waits for the socket, 0 at the peer's
// close, -1 with a failure code and the reason kept otherwise.
int settle(TlsConnection* tls, int result)
{
    int code = SSL_get_error(tls->ssl, result);
    tls->want_write = code == SSL_ERROR_WANT_WRITE;
    switch (code) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        sock_set_last_error(WSAEWOULDBLOCK);
        return -1;
    case SSL_ERROR_ZERO_RETURN:
        return 0;
    case SSL_ERROR_SYSCALL:
        tls->broken = true;
        if (tls->socket_error == 0)
            tls->socket_error = WSAECONNRESET;
        tls->failure = "error " + std::to_string(tls->socket_error) + " on the socket";
        ERR_clear_error();
        sock_set_last_error(tls->socket_error);
        return -1;
    default: {
        tls->broken = true;
        tls->failure = library_reason();
        long verified = SSL_get_verify_result(tls->ssl);
        if (verified != X509_V_OK)
            tls->failure += std::string(": ") + X509_verify_cert_error_string(verified);
        sock_set_last_error(WSAECONNABORTED);
        return -1;
    }
    }
}

// Each call starts with an empty error queue: SSL_get_error reads it.
void before_call(TlsConnection* tls)
{
    ERR_clear_error();
    tls->socket_error = 0;
}

} // namespace

bool tls_available()
{
    return OPENSSL_init_ssl(0, nullptr) == 1;
}

const char* tls_unavailable_reason()
{
    return tls_available() ? "" : "the TLS library did not start";
}

TlsContext* tls_server_context(const TlsServerFiles& files, std::string* error)
{
    ERR_clear_error();
    SSL_CTX* ctx = new_ssl_context(TLS_server_method());
    if (!ctx) {
        *error = "cannot make a TLS context: " + library_reason();
        return nullptr;
    }
    // No session cache and no tickets: no client here resumes, and the two
    // tickets TLS 1.3 sends by default would sit unread in a client that
    // closes, whose system then answers the close with a reset instead of
    // an end of stream. Resumed sessions of clients with certificates would
    // need an id context.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 0);
    static const unsigned char id_context[] = "qm";
    SSL_CTX_set_session_id_context(ctx, id_context, sizeof id_context - 1);
    std::string problem = load_server_files(ctx, files);
    if (!problem.empty()) {
        SSL_CTX_free(ctx);
        *error = problem;
        return nullptr;
    }
    return wrap(ctx, error);
}

bool tls_server_context_reload(TlsContext** current, const TlsServerFiles& files, std::string* error)
{
    TlsContext* fresh = tls_server_context(files, error);
    if (!fresh)
        return false;
    tls_context_release(*current);
    *current = fresh;
    return true;
}

TlsContext* tls_client_context(const std::string& ca_file, bool verify, std::string* error)
{
    ERR_clear_error();
    SSL_CTX* ctx = new_ssl_context(TLS_client_method());
    if (!ctx) {
        *error = "cannot make a TLS context: " + library_reason();
        return nullptr;
    }
    if (verify) {
        int loaded = ca_file.empty() ? SSL_CTX_set_default_verify_paths(ctx)
                                     : SSL_CTX_load_verify_locations(ctx, ca_file.c_str(), nullptr);
        if (loaded != 1) {
            *error = (ca_file.empty() ? std::string("cannot load the system's certificates")
                                      : "cannot load CA " + ca_file) +
                     ": " + library_reason();
            SSL_CTX_free(ctx);
            return nullptr;
        }
    }
    SSL_CTX_set_verify(ctx, verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    return wrap(ctx, error);
}

void tls_context_release(TlsContext* context)
{
    if (!context)
        return;
    SSL_CTX_free(context->ctx);
    delete context;
}

TlsConnection* tls_accept(TlsContext* context, socket_handle sock, std::string* error)
{
    TlsConnection* tls = new_connection(context, sock, error);
    if (tls)
        SSL_set_accept_state(tls->ssl);
    return tls;
}

TlsConnection* tls_connect(TlsContext* context, socket_handle sock, const std::string& host,
                           std::string* error)
{
    TlsConnection* tls = new_connection(context, sock, error);
    if (!tls)
        return nullptr;
    SSL_set_connect_state(tls->ssl);
    bool verify = SSL_get_verify_mode(tls->ssl) != SSL_VERIFY_NONE;
    // An address is checked against the certificate's IP entries and never
    // sent as a server name, which must be a DNS name.
    ASN1_OCTET_STRING* literal = a2i_IPADDRESS(host.c_str());
    bool named = true;
    if (literal) {
        ASN1_OCTET_STRING_free(literal);
        named = !verify || X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls->ssl), host.c_str()) == 1;
    } else {
        SSL_set_hostflags(tls->ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = SSL_set_tlsext_host_name(tls->ssl, host.c_str()) == 1 &&
                (!verify || SSL_set1_host(tls->ssl, host.c_str()) == 1);
    }
    if (!named) {
        *error = "cannot check the certificate for " + host + ": " + library_reason();
        tls_connection_free(tls);
        return nullptr;
    }
    return tls;
}

void tls_connection_free(TlsConnection* tls)
{
    if (!tls)
        return;
    if (!tls->broken && SSL_is_init_finished(tls->ssl)) {
        before_call(tls);
        SSL_shutdown(tls->ssl);
        ERR_clear_error();
    }
    SSL_free(tls->ssl);
    delete tls;
}

TlsStep tls_handshake(TlsConnection* tls)
{
    if (SSL_is_init_finished(tls->ssl))
        return TlsStep::done;
    if (tls->broken)
        return TlsStep::failed;
    before_call(tls);
    int result = SSL_do_handshake(tls->ssl);
    if (result == 1) {
        tls->want_write = false;
        return TlsStep::done;
    }
    if (settle(tls, result) < 0 && sock_last_error() == WSAEWOULDBLOCK)
        return TlsStep::pending;
    if (tls->failure.empty())
        tls->failure = "closed by the peer during the handshake";
    tls->broken = true;
    return TlsStep::failed;
}

bool tls_handshake_done(const TlsConnection* tls)
{
    return SSL_is_init_finished(tls->ssl) == 1;
}

int tls_recv(TlsConnection* tls, char* buffer, int size)
{
    if (size <= 0) {
        sock_set_last_error(WSAEINVAL);
        return -1;
    }
    before_call(tls);
    int n = SSL_read(tls->ssl, buffer, size);
    if (n > 0) {
        tls->want_write = false;
        return n;
    }
    return settle(tls, n);
}

int tls_send(TlsConnection* tls, const char* data, int size)
{
    if (size <= 0)
        return 0;
    before_call(tls);
    int n = SSL_write(tls->ssl, data, size);
    if (n > 0) {
        tls->want_write = false;
        return n;
    }
    if (settle(tls, n) == 0) {
        // The peer's closing alert came in: nothing more can be sent.
        sock_set_last_error(WSAESHUTDOWN);
        return -1;
    }
    return -1;
}

bool tls_wants_write(const TlsConnection* tls)
{
    return tls->want_write;
}

// Decrypted bytes only: the undecrypted ones are part of a record that has
// not arrived whole (the library reads no further ahead), and reading
// again before the socket brings the rest would spin.
bool tls_has_buffered_input(const TlsConnection* tls)
{
    return SSL_pending(tls->ssl) > 0;
}

const char* tls_failure(const TlsConnection* tls)
{
    return tls->failure.c_str();
}

std::string tls_peer_subject(const TlsConnection* tls)
{
    X509* cert = SSL_get0_peer_certificate(tls->ssl);
    BIO* out = cert ? BIO_new(BIO_s_mem()) : nullptr;
    if (!out)
        return {};
    std::string subject;
    if (X509_NAME_print_ex(out, X509_get_subject_name(cert), 0, XN_FLAG_RFC2253) >= 0) {
        char* text = nullptr;
        long length = BIO_get_mem_data(out, &text);
        subject.assign(text, static_cast<std::size_t>(length));
    }
    BIO_free(out);
    return subject;
}

std::string tls_peer_fingerprint(const TlsConnection* tls)
{
    X509* cert = SSL_get0_peer_certificate(tls->ssl);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!cert || X509_digest(cert, EVP_sha256(), digest, &length) != 1)
        return {};
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; i++) {
        if (i)
            text.push_back(':');
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 15]);
    }
    return text;
}
