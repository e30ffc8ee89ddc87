// The exporter's HTTP endpoint on Qt's own QTcpServer (QSslServer with TLS): GET /metrics,
// GET /-/healthy, 404 for anything else. It runs on the event loop's thread beside the
// monitors and never waits for a client: every socket is non-blocking, a request head is
// capped, an idle or slow connection is closed after a time-out, and the number of open
// connections is bounded, so slow or hostile clients cannot hold up polling or each other.
// With TLS the handshake is driven per connection under the same time-out, so clients that
// connect and never speak only hold their slot until it runs out. One address may not take the
// last quarter of the slots: those stay free for other addresses (a scraper beside a client
// that keeps reconnecting).
#pragma once

#include "BasicAuth.h"
#include "Exposition.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QTcpServer>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

class QTcpSocket;
class THttpConnection;

struct THttpServerConfig {
    QHostAddress Address = QHostAddress::LocalHost;
    quint16 Port = 9187;
    std::optional<TBasicAuth> Auth;               // basic authentication of /metrics
    std::optional<QSslConfiguration> Tls;         // serve HTTPS
    std::size_t HeadLimit = 8192;                 // request line and headers
    std::chrono::milliseconds IdleTimeout{10000}; // for a request to arrive or an answer to drain
    int MaxConnections = 64;
    // Slots one address may not take, kept for the others (MaxConnections / 4 when negative).
    int ReservedForOtherAddresses = -1;
};

class THttpServer : public QObject {
    Q_OBJECT

public:
    // Writes the metrics page in the format asked for.
    using TMetricsPage = std::function<std::string(TExpositionFormat format)>;

    THttpServer(THttpServerConfig config, TMetricsPage page, QObject* parent = nullptr);
    ~THttpServer() override;

    // Starts listening; false with the reason in errorText when the address cannot be used.
    bool Listen(std::string& errorText);
    quint16 Port() const;
    int OpenConnections() const { return int(Connections.size()); }

    const THttpServerConfig& Config() const { return Settings; }

private:
    class TListener;
    friend class THttpConnection;

    // Takes a freshly accepted socket descriptor: a connection, or closed at once when the
    // bounds say no.
    void Accept(qintptr descriptor);
    bool Admits(const QHostAddress& peer) const;

    THttpServerConfig Settings;
    TMetricsPage Page;
    std::unique_ptr<QTcpServer> Server;
    std::unordered_set<THttpConnection*> Connections; // open ones; children of this object
    std::map<QByteArray, int> PerAddress;             // open connections by peer address
};
