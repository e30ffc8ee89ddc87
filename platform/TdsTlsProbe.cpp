#include "TdsTlsProbe.h"

#ifdef _WIN32

// The look needs a TLS stack that reports the negotiated version and the certificate's
// verdict in the connection string's terms; on Windows the driver's own settings apply
// unchecked, and the tooltip says so.
TTlsProbeResult ProbeTdsEncryption(const std::string&, unsigned, const TEncryptionRequest&, int) {
    TTlsProbeResult r;
    r.Error = "not looked at on Windows; the driver's own encryption settings apply";
    return r;
}

#else

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t PreloginType = 0x12;
constexpr std::size_t PacketLimit = 4096;
// A PRELOGIN answer is under 100 bytes; a flight of the TLS handshake carries the server's
// certificates. Beyond these a server is sending what no server sends, and reading on would
// only hold more of it in memory.
constexpr std::size_t PreloginAnswerLimit = 4096;
constexpr std::size_t HandshakeMessageLimit = 64 * 1024;

class TSocket {
public:
    TSocket(const std::string& host, unsigned port, Clock::time_point deadline)
        : Deadline(deadline) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0) {
            Error = "cannot resolve " + host;
            return;
        }
        for (addrinfo* a = list; a != nullptr && Fd < 0; a = a->ai_next) {
            int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                continue;
            }
            if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ||
                (errno == EINPROGRESS && Wait(fd, POLLOUT) && SocketError(fd) == 0)) {
                Fd = fd;
            } else {
                ::close(fd);
            }
        }
        ::freeaddrinfo(list);
        if (Fd < 0) {
            Error = "cannot connect to " + host + ":" + std::to_string(port);
        }
    }
    ~TSocket() {
        if (Fd >= 0) {
            ::close(Fd);
        }
    }
    TSocket(const TSocket&) = delete;
    TSocket& operator=(const TSocket&) = delete;

    bool SendPacket(const std::string& payload) {
        std::string out;
        std::size_t pos = 0;
        do {
            const std::size_t n = std::min(payload.size() - pos, PacketLimit - 8);
            const std::size_t len = n + 8;
            const bool last = pos + n == payload.size();
            out += static_cast<char>(PreloginType);
            out += static_cast<char>(last ? 1 : 0);
            out += static_cast<char>(len >> 8);
            out += static_cast<char>(len & 0xFF);
            out += std::string("\0\0\x01\0", 4);
            out.append(payload, pos, n);
            pos += n;
        } while (pos < payload.size());
        std::size_t sent = 0;
        while (sent < out.size()) {
            ssize_t n = ::send(Fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                if (!Wait(Fd, POLLOUT)) {
                    return false;
                }
            } else {
                return false;
            }
        }
        return true;
    }

    // The payload of one whole message (packets up to EOM), or false. A message longer than
    // limit is not read to its end: false with TooLong set.
    bool ReadMessage(std::string& payload, std::size_t limit) {
        payload.clear();
        for (;;) {
            std::string header;
            if (!ReadExactly(8, header)) {
                return false;
            }
            const std::size_t len = (static_cast<unsigned char>(header[2]) << 8) |
                                    static_cast<unsigned char>(header[3]);
            if (len < 8) {
                return false;
            }
            if (payload.size() + len - 8 > limit) {
                TooLong = true;
                return false;
            }
            std::string body;
            if (!ReadExactly(len - 8, body)) {
                return false;
            }
            payload += body;
            if (header[1] & 0x01) {
                return true;
            }
        }
    }

    int Fd = -1;
    std::string Error;
    bool TooLong = false;

private:
    bool ReadExactly(std::size_t n, std::string& out) {
        out.resize(n);
        std::size_t got = 0;
        while (got < n) {
            ssize_t r = ::recv(Fd, out.data() + got, n - got, 0);
            if (r > 0) {
                got += static_cast<std::size_t>(r);
            } else if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
                if (!Wait(Fd, POLLIN)) {
                    return false;
                }
            } else {
                return false;
            }
        }
        return true;
    }

    bool Wait(int fd, short events) const {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        pollfd p{fd, events, 0};
        return ::poll(&p, 1, static_cast<int>(left)) == 1;
    }

    static int SocketError(int fd) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        return err;
    }

    Clock::time_point Deadline;
};

std::string PreloginPayload(std::uint8_t encryption) {
    // VERSION, ENCRYPTION, INSTOPT (none), THREADID, then the data.
    std::string p;
    auto entry = [&p](char token, int offset, int length) {
        p += token;
        p += static_cast<char>(offset >> 8);
        p += static_cast<char>(offset & 0xFF);
        p += static_cast<char>(length >> 8);
        p += static_cast<char>(length & 0xFF);
    };
    const int data = 4 * 5 + 1;
    entry(0x00, data, 6);
    entry(0x01, data + 6, 1);
    entry(0x02, data + 7, 1);
    entry(0x03, data + 8, 4);
    p += '\xFF';
    p += std::string("\x0b\x00\x00\x00\x00\x00", 6);
    p += static_cast<char>(encryption);
    p += '\0';
    p += std::string(4, '\0');
    return p;
}

bool EncryptionAnswer(const std::string& payload, std::uint8_t& answer) {
    for (std::size_t i = 0; i + 5 <= payload.size() && payload[i] != '\xFF'; i += 5) {
        const std::size_t offset = (static_cast<unsigned char>(payload[i + 1]) << 8) |
                                   static_cast<unsigned char>(payload[i + 2]);
        const std::size_t length = (static_cast<unsigned char>(payload[i + 3]) << 8) |
                                   static_cast<unsigned char>(payload[i + 4]);
        if (payload[i] == 0x01 && length >= 1 && offset < payload.size()) {
            answer = static_cast<std::uint8_t>(payload[offset]);
            return true;
        }
    }
    return false;
}

std::string Subject(X509* cert) {
    std::string text;
    char cn[256] = {};
    if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn) > 0) {
        text = std::string("CN=") + cn;
    }
    auto* names =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* n = sk_GENERAL_NAME_value(names, i);
        if (n->type == GEN_DNS) {
            const auto* s = ASN1_STRING_get0_data(n->d.dNSName);
            text += ", " + std::string(reinterpret_cast<const char*>(s),
                                       static_cast<std::size_t>(ASN1_STRING_length(n->d.dNSName)));
        } else if (n->type == GEN_IPADD && ASN1_STRING_length(n->d.iPAddress) == 4) {
            const auto* b = ASN1_STRING_get0_data(n->d.iPAddress);
            text += ", " + std::to_string(b[0]) + "." + std::to_string(b[1]) + "." +
                    std::to_string(b[2]) + "." + std::to_string(b[3]);
        }
    }
    GENERAL_NAMES_free(names);
    return text;
}

void Handshake(TSocket& socket, const std::string& host, const TEncryptionRequest& request,
               TTlsProbeResult& r) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) {
        r.Error = "cannot start TLS";
        return;
    }
    // What the driver negotiates with TDS 7.x.
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr); // judged after the handshake
    if (request.CaFile.empty()) {
        SSL_CTX_set_default_verify_paths(ctx);
    } else if (SSL_CTX_load_verify_locations(ctx, request.CaFile.c_str(), nullptr) != 1) {
        r.CertificateProblem = "cannot read the certificate file " + request.CaFile;
    }
    SSL* ssl = SSL_new(ctx);
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    in6_addr ip6{};
    in_addr ip4{};
    if (::inet_pton(AF_INET, host.c_str(), &ip4) == 1 ||
        ::inet_pton(AF_INET6, host.c_str(), &ip6) == 1) {
        X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
        X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
    }
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    SSL_set_connect_state(ssl);
    for (int round = 0; round < 16; ++round) {
        const int ret = SSL_do_handshake(ssl);
        std::string flight(static_cast<std::size_t>(BIO_ctrl_pending(out)), '\0');
        if (!flight.empty()) {
            BIO_read(out, flight.data(), static_cast<int>(flight.size()));
            if (!socket.SendPacket(flight)) {
                r.Error = "the server closed the connection during the TLS handshake";
                break;
            }
        }
        if (ret == 1) {
            r.Encrypted = true;
            r.TlsVersion = SSL_get_version(ssl);
            r.Cipher = SSL_get_cipher_name(ssl);
            if (X509* cert = SSL_get1_peer_certificate(ssl)) {
                r.CertificateSubject = Subject(cert);
                X509_free(cert);
            }
            const long verify = SSL_get_verify_result(ssl);
            r.CertificateTrusted = verify == X509_V_OK && r.CertificateProblem.empty();
            if (verify != X509_V_OK) {
                r.CertificateProblem = X509_verify_cert_error_string(verify);
            }
            break;
        }
        if (SSL_get_error(ssl, ret) != SSL_ERROR_WANT_READ) {
            char buf[256] = {};
            ERR_error_string_n(ERR_get_error(), buf, sizeof buf);
            r.Error = std::string("TLS handshake failed: ") + buf;
            break;
        }
        std::string payload;
        if (!socket.ReadMessage(payload, HandshakeMessageLimit)) {
            r.Oversized = socket.TooLong;
            r.Error = socket.TooLong ? "the server sent a TLS handshake message longer than " +
                                           std::to_string(HandshakeMessageLimit) +
                                           " bytes; the connection was dropped"
                                     : "the server closed the connection during the TLS handshake";
            break;
        }
        BIO_write(in, payload.data(), static_cast<int>(payload.size()));
    }
    ERR_clear_error();
    SSL_free(ssl);
    SSL_CTX_free(ctx);
}

} // namespace

TTlsProbeResult ProbeTdsEncryption(const std::string& host, unsigned port,
                                   const TEncryptionRequest& request, int timeoutMs) {
    TTlsProbeResult r;
    TSocket socket(host, port, Clock::now() + std::chrono::milliseconds(timeoutMs));
    if (socket.Fd < 0) {
        r.Error = socket.Error;
        return r;
    }
    // The driver's own wish: FreeTDS sends "on" when encryption is required, else "off"
    // (login only when the server can).
    if (!socket.SendPacket(PreloginPayload(request.Demanded() ? 0x01 : 0x00))) {
        r.Error = "cannot send to the server";
        return r;
    }
    std::string reply;
    const bool whole = socket.ReadMessage(reply, PreloginAnswerLimit);
    if (socket.TooLong) {
        r.Oversized = true;
        r.Error = "the server's PRELOGIN answer is longer than " +
                  std::to_string(PreloginAnswerLimit) + " bytes; the connection was dropped";
        return r;
    }
    if (!whole || !EncryptionAnswer(reply, r.ServerAnswer)) {
        r.Error = "no PRELOGIN answer from the server";
        return r;
    }
    if (r.ServerAnswer == 0x02 || r.ServerAnswer > 0x03) {
        return r;
    }
    r.LoginOnly = r.ServerAnswer == 0x00;
    Handshake(socket, host, request, r);
    return r;
}

#endif

std::string DescribeEncryptionState(const TTlsProbeResult& probe,
                                    const TEncryptionRequest& request) {
    if (!probe.Error.empty()) {
        return "Encryption: unknown (" + probe.Error + ")";
    }
    if (!probe.Encrypted) {
        return "Not encrypted (the server does not offer encryption)";
    }
    std::string text = probe.LoginOnly ? "Login encrypted (" + probe.TlsVersion +
                                             "), the rest of the connection not encrypted"
                                       : "Encrypted (" + probe.TlsVersion + ")";
    if (!request.ChecksCertificate()) {
        text += request.Demanded() ? ", certificate not verified (TrustServerCertificate)"
                                   : ", certificate not verified (encryption not required)";
    } else {
        text += ", certificate verified";
    }
    return text;
}

std::string ExplainEncryptionFailure(const TTlsProbeResult& probe,
                                     const TEncryptionRequest& request, const std::string& host) {
    if (probe.Oversized) {
        return "The server does not answer as SQL Server does: " + probe.Error;
    }
    if (!probe.Error.empty()) {
        return "";
    }
    if (request.Demanded() && probe.ServerAnswer == 0x02) {
        return "The server does not support encryption, but the connection string requires it "
               "(Encrypt=yes)";
    }
    if (!request.ChecksCertificate() || !probe.Encrypted || probe.CertificateTrusted) {
        return "";
    }
    const std::string who =
        probe.CertificateSubject.empty() ? "" : " (" + probe.CertificateSubject + ")";
    if (probe.CertificateProblem.find("hostname") != std::string::npos ||
        probe.CertificateProblem.find("IP address") != std::string::npos) {
        return "The server's certificate" + who + " is not valid for \"" + host +
               "\": connect by a name the certificate carries, or set "
               "TrustServerCertificate=yes";
    }
    return "The server's certificate" + who + " is not trusted: " + probe.CertificateProblem +
           ". Name its authority with ServerCertificate=<file>, or set "
           "TrustServerCertificate=yes";
}
