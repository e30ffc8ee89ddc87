// A bare HTTP client for the endpoint's tests: sends raw bytes over a real socket and reads
// answers, dispatching events meanwhile (the server runs on the same thread).
#pragma once

#include "EventWait.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <map>
#include <memory>
#include <string>

namespace exportertest {

struct THttpAnswerSeen {
    int Status = 0;                             // 0: no complete answer
    std::map<std::string, std::string> Headers; // names in lower case
    std::string Body;
};

// Takes one complete answer off the front of the bytes, if there is one. A HEAD answer has no
// body whatever its Content-Length says.
inline bool TakeAnswer(std::string& bytes, THttpAnswerSeen& answer, bool head = false) {
    const std::size_t end = bytes.find("\r\n\r\n");
    if (end == std::string::npos) {
        return false;
    }
    THttpAnswerSeen seen;
    seen.Status = std::stoi(bytes.substr(9, 3));
    std::size_t pos = bytes.find("\r\n") + 2;
    while (pos < end) {
        const std::size_t eol = bytes.find("\r\n", pos);
        const std::string line = bytes.substr(pos, eol - pos);
        const std::size_t colon = line.find(':');
        std::string name = line.substr(0, colon);
        for (char& c : name) {
            c = char(std::tolower(static_cast<unsigned char>(c)));
        }
        seen.Headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
        pos = eol + 2;
    }
    const std::size_t length = head ? 0 : std::stoul(seen.Headers["content-length"]);
    if (bytes.size() < end + 4 + length) {
        return false;
    }
    seen.Body = bytes.substr(end + 4, length);
    bytes.erase(0, end + 4 + length);
    answer = seen;
    return true;
}

class TClient {
public:
    explicit TClient(quint16 port, QSslSocket* tls = nullptr)
        : Socket(tls ? tls : new QTcpSocket()) {
        QObject::connect(Socket.get(), &QTcpSocket::readyRead, [this] {
            const QByteArray data = Socket->readAll();
            Received.append(data.constData(), std::size_t(data.size()));
        });
        if (tls) {
            tls->connectToHostEncrypted("127.0.0.1", port);
        } else {
            Socket->connectToHost("127.0.0.1", port);
        }
        tallyvane::testsupport::SpinUntil(
            [this, tls] {
                return tls ? tls->isEncrypted()
                           : Socket->state() == QAbstractSocket::ConnectedState;
            },
            std::chrono::seconds(10));
    }

    void Send(const std::string& bytes) { Socket->write(bytes.data(), qint64(bytes.size())); }

    // The next complete answer, or Status 0 after the time-out.
    THttpAnswerSeen Next(bool head = false,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        THttpAnswerSeen answer;
        tallyvane::testsupport::SpinUntil([&] { return TakeAnswer(Received, answer, head); },
                                          timeout);
        return answer;
    }

    THttpAnswerSeen Get(const std::string& path, const std::string& headers = "") {
        Send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n");
        return Next();
    }

    bool Closed() const { return Socket->state() == QAbstractSocket::UnconnectedState; }
    // Waits until the server closes the connection.
    bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return tallyvane::testsupport::SpinUntil([this] { return Closed(); }, timeout);
    }
    const std::string& Unread() const { return Received; }

private:
    std::unique_ptr<QTcpSocket> Socket;
    std::string Received;
};

} // namespace exportertest
