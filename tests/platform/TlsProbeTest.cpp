// The encryption probe against a server that never ends its message: it stops reading at a
// bound, says why, and drops the connection.
#include "TdsTlsProbe.h"

#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Far more than any answer; what a client that reads everything would take in.
constexpr std::size_t FloodBytes = 64u << 20;

// One connection on loopback: reads the client's first message, optionally answers PRELOGIN
// with "encryption on" and waits for the next one (the TLS client hello), then sends packets
// without end-of-message until the client goes or FloodBytes are out.
class TFloodServer {
public:
    explicit TFloodServer(bool afterPrelogin) {
        Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(Listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(Listener, 1) != 0 ||
            ::getsockname(Listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            throw std::runtime_error("cannot listen");
        }
        Port = ntohs(a.sin_port);
        Thread = std::thread([this, afterPrelogin] { Serve(afterPrelogin); });
    }
    ~TFloodServer() {
        Join();
        ::close(Listener);
    }
    // Waits until the server has sent everything or noticed the client is gone.
    void Join() {
        if (Thread.joinable()) {
            Thread.join();
        }
    }

    unsigned Port = 0;
    std::atomic<std::size_t> Sent{0};
    std::atomic<bool> Stopped{false}; // the client went before the flood was out

private:
    static bool ReadMessage(int fd) {
        for (;;) {
            unsigned char header[8];
            if (::recv(fd, header, 8, MSG_WAITALL) != 8) {
                return false;
            }
            std::string body((header[2] << 8 | header[3]) - 8, '\0');
            if (!body.empty() && ::recv(fd, body.data(), body.size(), MSG_WAITALL) !=
                                     static_cast<ssize_t>(body.size())) {
                return false;
            }
            if (header[1] & 1) {
                return true;
            }
        }
    }

    static bool SendAll(int fd, const std::string& bytes) {
        std::size_t at = 0;
        while (at < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            at += static_cast<std::size_t>(n);
        }
        return true;
    }

    void Serve(bool afterPrelogin) {
        const int fd = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        int small = 4096; // little kept in flight, so what was sent is close to what was read
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        bool ok = ReadMessage(fd);
        if (ok && afterPrelogin) {
            // VERSION and ENCRYPTION (on), then the terminator and the data.
            const std::string payload("\x00\x00\x0b\x00\x06\x01\x00\x11\x00\x01\xff"
                                      "\x0f\x00\x00\x00\x00\x00\x01",
                                      18);
            std::string packet("\x04\x01\x00\x00\x00\x00\x01\x00", 8);
            packet[3] = static_cast<char>(8 + payload.size());
            ok = SendAll(fd, packet + payload) && ReadMessage(fd);
        }
        std::string packet("\x12\x00\x10\x00\x00\x00\x01\x00", 8); // 4096 bytes, no EOM
        packet.resize(4096, 'x');
        while (ok && Sent < FloodBytes) {
            ok = SendAll(fd, packet);
            if (ok) {
                Sent += packet.size();
            }
        }
        Stopped = !ok;
        ::close(fd);
    }

    int Listener = -1;
    std::thread Thread;
};

TEST(TlsProbe, EndlessAnswerIsCutAtABoundAndTheConnectionDropped) {
    const struct {
        const char* Phase;
        bool AfterPrelogin;
        const char* Error;
    } cases[] = {
        {"PRELOGIN answer", false, "PRELOGIN answer is longer than 4096 bytes"},
        {"TLS handshake", true, "TLS handshake message longer than 65536 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Phase);
        TTlsProbeResult r;
        std::size_t sent = 0;
        bool stopped = false;
        {
            TFloodServer server(c.AfterPrelogin);
            TEncryptionRequest request;
            request.Mode = TEncryptionRequest::TMode::Mandatory;
            r = ProbeTdsEncryption("127.0.0.1", server.Port, request, 60000);
            server.Join();
            stopped = server.Stopped;
            sent = server.Sent;
        }
        EXPECT_TRUE(r.Oversized);
        EXPECT_NE(r.Error.find(c.Error), std::string::npos) << r.Error;
        EXPECT_NE(ExplainEncryptionFailure(r, {}, "127.0.0.1").find(c.Error), std::string::npos);
        // The client closed with the flood still coming: the read stopped, not the server.
        EXPECT_TRUE(stopped);
        EXPECT_LT(sent, FloodBytes / 4) << "bytes the server got out";
    }
}

} // namespace
