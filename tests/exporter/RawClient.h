// Clients of the endpoint that a hostile or careless peer would be: bare sockets bound to a
// chosen loopback address (127.0.0.2, 127.0.0.3, ... stand for different machines), that may
// never start TLS, trickle bytes, or half-close after their request.
#pragma once

#include "EventWait.h"
#include "HttpClient.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <arpa/inet.h>
#include <cerrno>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace exportertest {

// A connected TCP socket from that local address; -1 when the connection fails.
inline int ConnectFrom(const char* localAddress, quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, localAddress, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Everything the peer sends until it closes (or the time-out passes).
inline std::string ReadToEnd(int fd, int timeoutMs = 20000) {
    std::string got;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) {
            return got;
        }
        char buffer[65536];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return got;
        }
        got.append(buffer, std::size_t(n));
    }
}

// Whether the peer has closed the connection (reads to its end without blocking).
inline bool PeerClosed(int fd) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            continue;
        }
        return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    }
}

// A TLS client from that local address, the handshake done (null when it was not).
inline std::unique_ptr<QSslSocket> TlsFrom(const char* localAddress, quint16 port) {
    const int fd = ConnectFrom(localAddress, port);
    if (fd < 0) {
        return nullptr;
    }
    auto socket = std::make_unique<QSslSocket>();
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setPeerVerifyMode(QSslSocket::VerifyNone); // a throw-away certificate
    socket->setSslConfiguration(config);
    socket->setSocketDescriptor(fd);
    socket->startClientEncryption();
    tallyvane::testsupport::SpinUntil(
        [&] { return socket->isEncrypted() || socket->state() != QAbstractSocket::ConnectedState; },
        std::chrono::seconds(20));
    if (!socket->isEncrypted()) {
        return nullptr;
    }
    return socket;
}

// Sends the request over TLS, optionally half-closes, and waits for one complete answer.
inline THttpAnswerSeen TlsRequest(QSslSocket& socket, const std::string& request,
                                  bool halfClose = false) {
    std::string received;
    socket.write(request.data(), qint64(request.size()));
    socket.flush();
    if (halfClose) {
        ::shutdown(int(socket.socketDescriptor()), SHUT_WR);
    }
    THttpAnswerSeen answer;
    tallyvane::testsupport::SpinUntil(
        [&] {
            const QByteArray data = socket.readAll();
            received.append(data.constData(), std::size_t(data.size()));
            return TakeAnswer(received, answer) ||
                   (socket.state() == QAbstractSocket::UnconnectedState &&
                    socket.bytesAvailable() == 0);
        },
        std::chrono::seconds(20));
    return answer;
}

// One scrape of /metrics over plain HTTP from that address; the status (0: no answer).
inline int PlainScrapeFrom(const char* localAddress, quint16 port) {
    const int fd = ConnectFrom(localAddress, port);
    if (fd < 0) {
        return 0;
    }
    const std::string request = "GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string bytes = ReadToEnd(fd);
    ::close(fd);
    THttpAnswerSeen answer;
    return TakeAnswer(bytes, answer) ? answer.Status : 0;
}

// One scrape of /metrics over TLS from that address; the status (0: no answer).
inline int TlsScrapeFrom(const char* localAddress, quint16 port) {
    const auto socket = TlsFrom(localAddress, port);
    return socket ? TlsRequest(*socket, "GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n").Status
                  : 0;
}

// Bare sockets, closed at the end of a test.
struct TOpenSocketsForTest {
    ~TOpenSocketsForTest() { CloseAll(); }
    void CloseAll() {
        for (const int fd : Fds) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        Fds.clear();
    }
    std::vector<int> Fds;
};

} // namespace exportertest
