// The exporter's HTTP endpoint on Qt's own QTcpServer and QSslSocket: GET /metrics,
// GET /-/healthy, 404 for anything else. It runs on the event loop's thread beside the
// monitors and never waits for a client: every socket is non-blocking, a request head is
// capped, an idle or slow connection is closed after a time-out, and the number of open
// connections is bounded in all and per client address, so slow or hostile clients cannot hold
// up polling or each other. TLS handshakes are driven here on each socket, with a time-out of
// their own, so that clients that never finish one cannot stop the accepting.
#pragma once

#include "BasicAuth.h"
#include "Exposition.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QTcpServer>
#include <chrono>
#include <functional>
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
    std::chrono::milliseconds HandshakeTimeout{10000}; // for a TLS handshake to complete
    int MaxConnections = 64;
    // Open connections from one address: the rest stay free for the others.
    int MaxConnectionsPerAddress = 8;
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
    void Accept(qintptr descriptor);
    friend class THttpConnection;
    friend class THttpListener;

    THttpServerConfig Settings;
    TMetricsPage Page;
    std::unique_ptr<QTcpServer> Server;
    std::unordered_set<THttpConnection*> Connections; // open ones; children of this object
    QHash<QHostAddress, int> PerAddress;              // open connections by peer address
};
