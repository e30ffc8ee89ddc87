#include "HttpServer.h"

#include "HttpRequest.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>

namespace {

struct THttpAnswer {
    int Status = 200;
    std::string ContentType = "text/plain; charset=utf-8";
    std::string ExtraHeaders; // complete lines, CR LF each
    std::string Body;
    bool Close = false; // close the connection after this answer
};

const char* ReasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 431:
        return "Request Header Fields Too Large";
    }
    return "Error";
}

THttpAnswer Plain(int status, std::string body, bool close = false) {
    THttpAnswer answer;
    answer.Status = status;
    answer.Body = std::move(body);
    answer.Close = close;
    return answer;
}

std::string Serialize(const THttpAnswer& answer, bool keepAlive, bool withBody) {
    std::string out =
        "HTTP/1.1 " + std::to_string(answer.Status) + ' ' + ReasonPhrase(answer.Status) + "\r\n";
    out += "Content-Type: " + answer.ContentType + "\r\n";
    out += "Content-Length: " + std::to_string(answer.Body.size()) + "\r\n";
    out += answer.ExtraHeaders;
    out += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    out += "\r\n";
    if (withBody) {
        out += answer.Body;
    }
    return out;
}

// The peer's address as a map key (IPv4 as its mapped IPv6 form).
QByteArray AddressKey(const QHostAddress& address) {
    const Q_IPV6ADDR raw = address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char*>(raw.c), sizeof raw.c);
}

} // namespace

// One client connection: reads request heads, answers them one at a time (the next request is
// read only once the previous answer has drained), and closes on a time-out or on request.
class THttpConnection : public QObject {
public:
    THttpConnection(THttpServer& server, QTcpSocket* socket, QByteArray peer)
        : QObject(&server), Server(server), Socket(socket), Peer(std::move(peer)) {
        Socket->setParent(this);
        Server.Connections.insert(this);
        ++Server.PerAddress[Peer];
        Timer.setSingleShot(true);
        Timer.setInterval(Server.Settings.IdleTimeout);
        connect(&Timer, &QTimer::timeout, this, [this] {
            Socket->abort();
            Finish();
        });
        connect(Socket, &QTcpSocket::readyRead, this, [this] { Process(); });
        connect(Socket, &QTcpSocket::bytesWritten, this, [this] { Drained(); });
        connect(Socket, &QTcpSocket::disconnected, this, [this] { Finish(); });
        connect(Socket, &QTcpSocket::errorOccurred, this, [this] {
            if (Socket->state() == QAbstractSocket::UnconnectedState) {
                Finish();
            }
        });
        Timer.start();
        Process();
    }
    ~THttpConnection() override {
        Server.Connections.erase(this);
        const auto count = Server.PerAddress.find(Peer);
        if (count != Server.PerAddress.end() && --count->second <= 0) {
            Server.PerAddress.erase(count);
        }
    }

private:
    void Process() {
        if (Finished) {
            return;
        }
        const QByteArray incoming = Socket->readAll();
        Buffer.append(incoming.constData(), std::size_t(incoming.size()));
        while (!Draining && !Closing) {
            const THeadParse parse = ParseRequestHead(Buffer, Server.Settings.HeadLimit);
            if (parse.Status == THeadStatus::Incomplete) {
                return;
            }
            if (parse.Status == THeadStatus::TooLarge) {
                Send(Plain(431, "The request head is too large.\n", true), false, true);
                return;
            }
            if (parse.Status == THeadStatus::Bad) {
                Send(Plain(400, "Bad request.\n", true), false, true);
                return;
            }
            Buffer.erase(0, parse.Consumed);
            const THttpRequest& request = parse.Request;
            THttpAnswer answer = Answer(request);
            // Request bodies are not read: a request that announces one ends the connection.
            if (request.HasHeader("Content-Length") && request.Header("Content-Length") != "0") {
                answer.Close = true;
            }
            if (request.HasHeader("Transfer-Encoding")) {
                answer.Close = true;
            }
            Send(answer, request.KeepAlive() && !answer.Close, request.Method != "HEAD");
        }
    }

    THttpAnswer Answer(const THttpRequest& request) const {
        if (request.Method != "GET" && request.Method != "HEAD") {
            THttpAnswer answer = Plain(405, "Only GET and HEAD are served.\n", true);
            answer.ExtraHeaders = "Allow: GET, HEAD\r\n";
            return answer;
        }
        const std::string path = request.Path();
        if (path == "/-/healthy") {
            return Plain(200, "Tallyvane exporter is healthy.\n");
        }
        if (path != "/metrics") {
            return Plain(404, "Not found. The metrics are at /metrics.\n");
        }
        if (Server.Settings.Auth &&
            !Server.Settings.Auth->Accepts(request.Header("Authorization"))) {
            THttpAnswer answer = Plain(401, "Unauthorized.\n");
            answer.ExtraHeaders = "WWW-Authenticate: Basic realm=\"Tallyvane exporter\", "
                                  "charset=\"UTF-8\"\r\n";
            return answer;
        }
        const TExpositionFormat format = FormatForAccept(request.Header("Accept"));
        THttpAnswer answer;
        answer.ContentType = ContentTypeOf(format);
        answer.Body = Server.Page(format);
        return answer;
    }

    void Send(const THttpAnswer& answer, bool keepAlive, bool withBody) {
        const std::string bytes = Serialize(answer, keepAlive, withBody);
        Closing = !keepAlive;
        Draining = true;
        // The time-out now bounds how long the answer may take to drain.
        Timer.start();
        Socket->write(bytes.data(), qint64(bytes.size()));
        // Out to the kernel now: a client that half-closed after its request makes the socket
        // drop whatever is still buffered here when it reads that end of stream.
        Socket->flush();
    }

    void Drained() {
        if (!Draining || Socket->bytesToWrite() > 0) {
            return;
        }
        Draining = false;
        if (Closing) {
            Socket->disconnectFromHost();
            return;
        }
        Timer.start();
        // A pipelined request may already be waiting in the buffer.
        QTimer::singleShot(0, this, [this] { Process(); });
    }

    void Finish() {
        if (Finished) {
            return;
        }
        Finished = true;
        Timer.stop();
        deleteLater();
    }

    THttpServer& Server;
    QTcpSocket* Socket;
    QByteArray Peer;
    QTimer Timer;
    std::string Buffer;
    bool Draining = false; // an answer is being written
    bool Closing = false;  // close once it is written
    bool Finished = false;
};

THttpServer::THttpServer(THttpServerConfig config, TMetricsPage page, QObject* parent)
    : QObject(parent), Settings(std::move(config)), Page(std::move(page)) {}

THttpServer::~THttpServer() {
    Server.reset();
    // Connections go while this object is still whole: their destructors reach back to it.
    while (!Connections.empty()) {
        delete *Connections.begin();
    }
}

// Hands every accepted descriptor to the server before Qt wraps it, so that the bounds apply
// before any handshake and a TLS handshake runs on the connection's own time-out. (Qt 6.4's
// QSslServer queues handshaking sockets against its pending limit and stops accepting for good
// once clients that never speak fill it.)
class THttpServer::TListener : public QTcpServer {
public:
    explicit TListener(THttpServer& owner) : Owner(owner) {}

protected:
    void incomingConnection(qintptr descriptor) override { Owner.Accept(descriptor); }

private:
    THttpServer& Owner;
};

bool THttpServer::Listen(std::string& errorText) {
    Server = std::make_unique<TListener>(*this);
    if (!Server->listen(Settings.Address, Settings.Port)) {
        errorText = "Cannot listen on " + Settings.Address.toString().toStdString() + ":" +
                    std::to_string(Settings.Port) + ": " + Server->errorString().toStdString();
        return false;
    }
    return true;
}

quint16 THttpServer::Port() const {
    return Server ? Server->serverPort() : 0;
}

bool THttpServer::Admits(const QHostAddress& peer) const {
    const int open = int(Connections.size());
    if (open >= Settings.MaxConnections) {
        return false;
    }
    const int reserved = Settings.ReservedForOtherAddresses >= 0
                             ? Settings.ReservedForOtherAddresses
                             : Settings.MaxConnections / 4;
    const auto count = PerAddress.find(AddressKey(peer));
    const int fromPeer = count == PerAddress.end() ? 0 : count->second;
    return fromPeer < std::max(1, Settings.MaxConnections - reserved);
}

void THttpServer::Accept(qintptr descriptor) {
    QTcpSocket* socket = Settings.Tls ? new QSslSocket() : new QTcpSocket();
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    const QHostAddress peer = socket->peerAddress();
    if (!Admits(peer)) {
        // Over a bound: refuse at once rather than let clients pile up.
        socket->abort();
        delete socket;
        return;
    }
    if (Settings.Tls) {
        auto* tls = static_cast<QSslSocket*>(socket);
        tls->setSslConfiguration(*Settings.Tls);
        tls->startServerEncryption();
    }
    new THttpConnection(*this, socket, AddressKey(peer));
}
