#include "HttpServer.h"

#include "AnswerWriter.h"
#include "DescriptorBudget.h"
#include "HttpRequest.h"
#include "TlsRelay.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#if defined(Q_OS_UNIX)
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#endif

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
    THttpConnection(THttpServer& server, QTcpSocket* socket, QByteArray peer, TTlsRelay* relay)
        : QObject(&server), Server(server), Socket(socket), Relay(relay), Peer(std::move(peer)),
          Serial(++server.Accepted) {
        Socket->setParent(this);
        Server.Connections.insert(this);
        Timer.setSingleShot(true);
        Timer.setInterval(Server.Settings.IdleTimeout);
        connect(&Timer, &QTimer::timeout, this, [this] {
            AbortRelay();
            Socket->abort();
            Finish();
        });
        if (Relay) {
            // Answers go on; the connection closes once the one under way is out.
            Relay->ClientEnded = [this] { ClientHalfClosed = true; };
        }
        connect(Socket, &QTcpSocket::readyRead, this, [this] { Process(); });
        connect(Socket, &QTcpSocket::bytesWritten, this, [this] { Drained(); });
        connect(Socket, &QTcpSocket::disconnected, this, [this] { PeerGone(); });
        connect(Socket, &QTcpSocket::errorOccurred, this, [this] {
            if (Socket->state() == QAbstractSocket::UnconnectedState) {
                PeerGone();
            }
        });
        if (!qobject_cast<QSslSocket*>(Socket)) {
            Writer = new TAnswerWriter(Socket->socketDescriptor(), this);
            if (!Writer->Valid()) {
                delete Writer;
                Writer = nullptr;
            }
        }
        if (auto* tls = qobject_cast<QSslSocket*>(Socket); tls && !tls->isEncrypted()) {
            // The handshake has a time-out of its own; the request's starts once it is done.
            Timer.setInterval(Server.Settings.HandshakeTimeout);
            connect(tls, &QSslSocket::encrypted, this, [this] {
                Timer.setInterval(Server.Settings.IdleTimeout);
                Timer.start();
            });
        }
        Timer.start();
        Process();
    }
    ~THttpConnection() override {
        if (!Finished) {
            Server.Connections.erase(this);
        }
        if (Relay) {
            Relay->ClientEnded = nullptr;
        }
    }

    const QByteArray& PeerKey() const { return Peer; }
    std::uint64_t Order() const { return Serial; }
    bool Answering() const { return Draining; }

    // Closed at once to make room for another client.
    void Evict() {
        AbortRelay();
        Socket->abort();
        Finish();
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
        Succeeding = answer.Status == 200;
        // The time-out now bounds how long the answer may take to drain.
        Timer.start();
        if (Writer) {
            Writer->Write(bytes, [this](bool whole) { Written(whole); });
            return;
        }
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
        if (Succeeding) {
            Server.MarkProven(Peer);
        }
        if (Closing || ClientHalfClosed) {
            Socket->disconnectFromHost();
            return;
        }
        Timer.start();
        // A pipelined request may already be waiting in the buffer.
        QTimer::singleShot(0, this, [this] { Process(); });
    }

    // The answer went out through the writer (or the client went away meanwhile).
    void Written(bool whole) {
        Draining = false;
        if (!whole) {
            Socket->abort();
            Finish();
            return;
        }
        if (Succeeding) {
            Server.MarkProven(Peer);
        }
        if (Closing || ReadEnded) {
            Finish();
            return;
        }
        Timer.start();
        QTimer::singleShot(0, this, [this] { Process(); });
    }

    // Qt's socket closed (the client ended its stream, or the connection broke). An answer
    // still on its way through the writer goes on.
    void PeerGone() {
        ReadEnded = true;
        if (Writer && Draining) {
            return;
        }
        Finish();
    }

    void AbortRelay() {
        if (Relay) {
            Relay->Abort();
        }
    }

    void Finish() {
        if (Finished) {
            return;
        }
        Finished = true;
        Timer.stop();
        if (Writer) {
            Writer->Close();
        }
        // Out of the count now: the slot may be handed on before the deferred delete.
        Server.Connections.erase(this);
        deleteLater();
    }

    THttpServer& Server;
    QTcpSocket* Socket;
    QPointer<TTlsRelay> Relay; // TLS on Unix: between the client and Qt
    QByteArray Peer;
    std::uint64_t Serial; // order of arrival
    QTimer Timer;
    std::string Buffer;
    TAnswerWriter* Writer = nullptr; // plain connections; TLS is written through Qt
    bool ReadEnded = false;          // Qt's socket has closed
    bool ClientHalfClosed = false;   // the relay saw the end of the client's stream
    bool Draining = false;           // an answer is being written
    bool Succeeding = false;         // and it is a 200
    bool Closing = false;            // close once it is written
    bool Finished = false;
};

THttpServer::THttpServer(THttpServerConfig config, TMetricsPage page, QObject* parent)
    : QObject(parent), Settings(std::move(config)), Page(std::move(page)) {}

THttpServer::~THttpServer() {
    delete Waiting; // before the socket it watches goes
    Waiting = nullptr;
    Server.reset();
    // Connections go while this object is still whole: their destructors reach back to it.
    // Finished ones have left the set and go with their parent, this object.
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
    void incomingConnection(qintptr descriptor) override {
        Owner.AcceptWorks();
        Owner.Accept(descriptor);
    }

private:
    THttpServer& Owner;
};

bool THttpServer::Listen(std::string& errorText) {
    Server = std::make_unique<TListener>(*this);
    // Room in the kernel's queue for clients that arrive while others crowd in.
    Server->setListenBacklogSize(std::max(50, 4 * Settings.MaxConnections));
    connect(Server.get(), &QTcpServer::acceptError, this,
            [this] { AcceptFailed(Server->errorString().toStdString()); });
    if (!Server->listen(Settings.Address, Settings.Port)) {
        errorText = "Cannot listen on " + Settings.Address.toString().toStdString() + ":" +
                    std::to_string(Settings.Port) + ": " + Server->errorString().toStdString();
        return false;
    }
#if defined(Q_OS_UNIX)
    // Accepting is done here, not by Qt: out of descriptors, Qt either stops accepting for good
    // or retries at once in a busy loop, depending on the errors its listener met before.
    Server->pauseAccepting();
    Waiting = new QSocketNotifier(Server->socketDescriptor(), QSocketNotifier::Read, this);
    connect(Waiting, &QSocketNotifier::activated, this, [this] { AcceptWaiting(); });
#endif
    return true;
}

#if defined(Q_OS_UNIX)
void THttpServer::AcceptWaiting() {
    const int listening = int(Server->socketDescriptor());
    for (;;) {
        const int descriptor = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (descriptor >= 0) {
            Accept(descriptor);
            continue;
        }
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            AcceptWorks(); // every queued client taken
            return;
        }
        // A client that gave up while queued; the next may be fine.
        if (error == EINTR || error == ECONNABORTED || error == EPROTO) {
            continue;
        }
        // Out of descriptors (EMFILE, ENFILE) or memory: the clients stay queued in the kernel
        // until a try succeeds.
        Waiting->setEnabled(false);
        AcceptFailed(std::strerror(error));
        return;
    }
}
#endif

quint16 THttpServer::Port() const {
    return Server ? Server->serverPort() : 0;
}

void THttpServer::Report(const std::string& line) const {
    if (Settings.Log) {
        Settings.Log(line);
    }
}

// Says once that accepting fails and tries again until it works, so that the endpoint answers
// again once descriptors are free.
void THttpServer::AcceptFailed(const std::string& reason) {
    if (!AcceptFailing) {
        AcceptFailing = true;
        const TDescriptorBudget budget = CurrentDescriptorBudget();
        Report("The HTTP endpoint cannot accept connections: " + reason +
               (budget.Known() ? " (a limit of " + std::to_string(budget.Limit) + " open files)"
                               : std::string()) +
               "; clients wait until descriptors are free");
    }
    QTimer::singleShot(Settings.AcceptRetry, this, [this] {
        if (Waiting) {
            Waiting->setEnabled(true); // fires at once while clients are queued
        } else if (Server) {
            Server->resumeAccepting();
        }
    });
}

bool THttpServer::IsProven(const QByteArray& peer) const {
    const auto found = Proven.find(peer);
    return found != Proven.end() &&
           std::chrono::steady_clock::now() - found->second < Settings.ProvenFor;
}

void THttpServer::MarkProven(const QByteArray& peer) {
    // Bounded: many addresses that each complete a request push out the longest silent one.
    constexpr std::size_t MostRemembered = 4096;
    if (Proven.size() >= MostRemembered && Proven.count(peer) == 0) {
        Proven.erase(
            std::min_element(Proven.begin(), Proven.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; }));
    }
    Proven[peer] = std::chrono::steady_clock::now();
}

bool THttpServer::MakeRoomFor(const QByteArray& peer) {
    const int most = Settings.MaxConnections;
    const int keptForOthers =
        Settings.ReservedForOtherAddresses >= 0 ? Settings.ReservedForOtherAddresses : most / 4;
    const int keptForProven =
        Settings.ReservedForProvenAddresses >= 0 ? Settings.ReservedForProvenAddresses : most / 4;
    const bool proven = IsProven(peer);
    // The connections the newcomer competes with: all of them for a proven address, the
    // others' share for the rest.
    struct TShare {
        int Count = 0;
        bool Proven = false;
    };
    std::map<QByteArray, TShare> pool;
    int inPool = 0;
    int fromPeer = 0;
    for (const THttpConnection* connection : Connections) {
        const bool connectionProven = IsProven(connection->PeerKey());
        if (connection->PeerKey() == peer) {
            ++fromPeer;
        }
        if (proven || !connectionProven) {
            TShare& share = pool[connection->PeerKey()];
            ++share.Count;
            share.Proven = connectionProven;
            ++inPool;
        }
    }
    if (fromPeer >= std::max(1, most - keptForOthers)) {
        return false;
    }
    const int poolLimit = proven ? most : std::max(1, most - keptForProven);
    if (int(Connections.size()) < most && inPool < poolLimit) {
        return true;
    }
    // Full: the address holding the most (the unproven first among equals) gives way.
    const auto biggest =
        std::max_element(pool.begin(), pool.end(), [](const auto& a, const auto& b) {
            return std::make_pair(a.second.Count, !a.second.Proven) <
                   std::make_pair(b.second.Count, !b.second.Proven);
        });
    const auto own = pool.find(peer);
    const int ownCount = own == pool.end() ? 0 : own->second.Count;
    if (biggest == pool.end() || biggest->second.Count < ownCount + 2) {
        return false;
    }
    // Its oldest connection that is not in the middle of an answer, else its oldest.
    THttpConnection* victim = nullptr;
    for (THttpConnection* connection : Connections) {
        if (connection->PeerKey() != biggest->first) {
            continue;
        }
        if (victim == nullptr || std::make_pair(connection->Answering(), connection->Order()) <
                                     std::make_pair(victim->Answering(), victim->Order())) {
            victim = connection;
        }
    }
    victim->Evict();
    return true;
}

void THttpServer::AcceptWorks() {
    if (AcceptFailing) {
        AcceptFailing = false;
        Report("The HTTP endpoint accepts connections again");
    }
}

#if defined(Q_OS_UNIX)
void THttpServer::Accept(qintptr descriptor) {
    // The bounds first, before Qt or a relay spends anything on a client that is refused.
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    QHostAddress peerAddress;
    if (::getpeername(int(descriptor), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        peerAddress.setAddress(reinterpret_cast<const sockaddr*>(&address));
    }
    const QByteArray peer = AddressKey(peerAddress);
    if (peerAddress.isNull() || !MakeRoomFor(peer)) {
        ::close(int(descriptor)); // over a bound: refused at once rather than piling up
        return;
    }
    TTlsRelay* relay = nullptr;
    qintptr wrapped = descriptor;
    if (Settings.Tls) {
        relay = new TTlsRelay(descriptor, Settings.IdleTimeout, this);
        if (relay->Valid()) {
            wrapped = relay->QtSide();
        } else {
            delete relay;
            relay = nullptr;
        }
    }
    QTcpSocket* socket = Settings.Tls ? new QSslSocket() : new QTcpSocket();
    if (!socket->setSocketDescriptor(wrapped)) {
        delete socket;
        ::close(int(wrapped));
        if (relay) {
            relay->Abort(); // closes the client's descriptor
        }
        return;
    }
    if (Settings.Tls) {
        auto* tls = static_cast<QSslSocket*>(socket);
        tls->setSslConfiguration(*Settings.Tls);
        tls->startServerEncryption();
    }
    new THttpConnection(*this, socket, peer, relay);
}
#else
void THttpServer::Accept(qintptr descriptor) {
    QTcpSocket* socket = Settings.Tls ? new QSslSocket() : new QTcpSocket();
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    const QByteArray peer = AddressKey(socket->peerAddress());
    if (!MakeRoomFor(peer)) {
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
    new THttpConnection(*this, socket, peer, nullptr);
}
#endif
