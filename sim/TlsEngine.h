// TLS for the server side of a connection, driven through memory buffers: the engine never
// touches a socket. Bytes from the peer go in with putInput, bytes for the peer come out of
// takeOutput, and every call says whether it needs more input, is done, or failed.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace tdssim {

class TlsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The server's certificate and key, shared by every connection of the process.
class TlsContext {
public:
    // certFile and keyFile (PEM) name the server's identity; both empty: a self-signed
    // certificate for localhost and 127.0.0.1 is made now. Throws TlsError.
    TlsContext(const std::string& certFile, const std::string& keyFile);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    SSL_CTX* native() const { return ctx_; }
    // "subject CN=..., expires ..." for the start-up line.
    const std::string& description() const { return description_; }

private:
    SSL_CTX* ctx_ = nullptr;
    std::string description_;
};

class TlsEngine {
public:
    enum class Status { WantInput, Done, Failed };

    explicit TlsEngine(const TlsContext& context);
    ~TlsEngine();
    TlsEngine(const TlsEngine&) = delete;
    TlsEngine& operator=(const TlsEngine&) = delete;

    // Ciphertext from the peer; all of it is kept until the engine consumes it.
    void putInput(std::string_view bytes);
    // Ciphertext for the peer (handshake flights, alerts, records), emptied by the call.
    std::string takeOutput();

    // Advances the handshake with the input so far.
    Status handshake();
    // Appends whatever plaintext the input so far decrypts to; Failed on a broken record
    // or an alert, WantInput when more is needed, Done when the peer closed the session.
    Status read(std::string& plain);
    // Encrypts plaintext into output.
    void write(std::string_view plain);

    // "TLSv1.2" and the cipher suite once the handshake is done.
    std::string version() const;
    std::string cipher() const;
    // Why the last call failed (OpenSSL's reason or the alert sent or received).
    const std::string& error() const { return error_; }

private:
    Status fail(int ret);

    SSL* ssl_ = nullptr;
    std::string error_;
};

} // namespace tdssim
