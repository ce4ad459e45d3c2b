#include "tests/support/test_certificate.h"

#ifdef QM_HAVE_OPENSSL

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>

TlsServerFiles self_signed(const std::filesystem::path& dir, const std::string& name)
{
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert, subject);
    X509_EXTENSION* names = X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name,
                                                "DNS:localhost,IP:127.0.0.1");
    X509_add_ext(cert, names, -1);
    X509_EXTENSION_free(names);
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
    TlsServerFiles files{(dir / (name + ".crt")).string(), (dir / (name + ".key")).string(), ""};
    FILE* out = std::fopen(files.cert.c_str(), "w");
    PEM_write_X509(out, cert);
    std::fclose(out);
    out = std::fopen(files.key.c_str(), "w");
    PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(out);
    X509_free(cert);
    EVP_PKEY_free(key);
    return files;
}

#endif
