#include "TlsEngine.h"

#include <cstdint>
#include <memory>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace tdssim {

namespace {

std::string opensslErrors() {
    std::string text;
    while (unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        if (!text.empty()) {
            text += "; ";
        }
        text += buf;
    }
    return text;
}

[[noreturn]] void throwTls(const std::string& what) {
    std::string detail = opensslErrors();
    throw TlsError(detail.empty() ? what : what + ": " + detail);
}

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;

std::string timeText(const ASN1_TIME* t) {
    BIO* bio = BIO_new(BIO_s_mem());
    ASN1_TIME_print(bio, t);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(n));
    BIO_free(bio);
    return text;
}

std::string describe(X509* cert) {
    char subject[256] = {};
    X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
    return std::string(subject) + ", valid until " + timeText(X509_get0_notAfter(cert));
}

// A self-signed certificate for this machine's loopback names, valid from an hour ago for
// a year: enough for clients told to trust it or to skip the check.
void useSelfSigned(SSL_CTX* ctx, std::string& description) {
    KeyPtr key(EVP_EC_gen("P-256"));
    if (!key) {
        throwTls("cannot make a key");
    }
    CertPtr cert(X509_new());
    X509_set_version(cert.get(), 2);
    std::uint32_t serial = 0;
    RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(serial & 0x7FFFFFFF));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, cert.get(), cert.get(), nullptr, nullptr, 0);
    X509_EXTENSION* san =
        X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    if (!san) {
        throwTls("cannot name the certificate's hosts");
    }
    X509_add_ext(cert.get(), san, -1);
    X509_EXTENSION_free(san);
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
        throwTls("cannot sign the certificate");
    }
    if (SSL_CTX_use_certificate(ctx, cert.get()) != 1 ||
        SSL_CTX_use_PrivateKey(ctx, key.get()) != 1) {
        throwTls("cannot use the generated certificate");
    }
    description = "self-signed " + describe(cert.get());
}

} // namespace

TlsContext::TlsContext(const std::string& certFile, const std::string& keyFile) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_) {
        throwTls("cannot create a TLS context");
    }
    // TDS 7.x clients wrap only TLS 1.2 handshakes in PRELOGIN packets reliably; real servers
    // negotiate 1.2 there too.
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx_, TLS1_2_VERSION);
    // No session ticket: nothing may follow the server's Finished in the handshake packet.
    SSL_CTX_set_options(ctx_, SSL_OP_NO_TICKET);
    try {
        if (certFile.empty() && keyFile.empty()) {
            useSelfSigned(ctx_, description_);
            return;
        }
        if (certFile.empty() || keyFile.empty()) {
            throw TlsError("--cert and --key go together");
        }
        if (SSL_CTX_use_certificate_chain_file(ctx_, certFile.c_str()) != 1) {
            throwTls("cannot read the certificate " + certFile);
        }
        if (SSL_CTX_use_PrivateKey_file(ctx_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
            throwTls("cannot read the key " + keyFile);
        }
        if (SSL_CTX_check_private_key(ctx_) != 1) {
            throwTls("the key " + keyFile + " does not belong to the certificate " + certFile);
        }
        description_ = describe(SSL_CTX_get0_certificate(ctx_));
    } catch (...) {
        SSL_CTX_free(ctx_);
        throw;
    }
}

TlsContext::~TlsContext() {
    SSL_CTX_free(ctx_);
}

TlsEngine::TlsEngine(const TlsContext& context) {
    ssl_ = SSL_new(context.native());
    if (!ssl_) {
        throwTls("cannot start a TLS session");
    }
    // Memory BIOs: the connection moves the bytes; the read BIO answers "retry" when empty.
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(in, -1);
    SSL_set_bio(ssl_, in, out);
    SSL_set_accept_state(ssl_);
}

TlsEngine::~TlsEngine() {
    SSL_free(ssl_);
}

void TlsEngine::putInput(std::string_view bytes) {
    // A memory BIO grows as needed, so it takes everything in one write.
    if (!bytes.empty() &&
        BIO_write(SSL_get_rbio(ssl_), bytes.data(), static_cast<int>(bytes.size())) <= 0) {
        throw TlsError("cannot buffer TLS input");
    }
}

std::string TlsEngine::takeOutput() {
    BIO* out = SSL_get_wbio(ssl_);
    std::string bytes(static_cast<std::size_t>(BIO_ctrl_pending(out)), '\0');
    if (!bytes.empty()) {
        int n = BIO_read(out, bytes.data(), static_cast<int>(bytes.size()));
        bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    return bytes;
}

TlsEngine::Status TlsEngine::fail(int ret) {
    int code = SSL_get_error(ssl_, ret);
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
        return Status::WantInput;
    }
    std::string detail = opensslErrors();
    if (code == SSL_ERROR_ZERO_RETURN) {
        error_ = "the client closed the TLS session";
    } else if (!detail.empty()) {
        error_ = detail;
    } else {
        error_ = "TLS error " + std::to_string(code);
    }
    return Status::Failed;
}

TlsEngine::Status TlsEngine::handshake() {
    int ret = SSL_do_handshake(ssl_);
    return ret == 1 ? Status::Done : fail(ret);
}

TlsEngine::Status TlsEngine::read(std::string& plain) {
    char buf[16384];
    for (;;) {
        int n = SSL_read(ssl_, buf, sizeof buf);
        if (n > 0) {
            plain.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN) {
            return Status::Done;
        }
        return fail(n);
    }
}

void TlsEngine::write(std::string_view plain) {
    while (!plain.empty()) {
        int n = SSL_write(ssl_, plain.data(), static_cast<int>(plain.size()));
        if (n <= 0) {
            fail(n);
            throw TlsError("cannot encrypt: " + error_);
        }
        plain.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string TlsEngine::version() const {
    return SSL_get_version(ssl_);
}

std::string TlsEngine::cipher() const {
    const char* name = SSL_get_cipher_name(ssl_);
    return name ? name : "";
}

} // namespace tdssim
