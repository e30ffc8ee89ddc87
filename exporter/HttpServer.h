// The exporter's HTTP endpoint on Qt's own QTcpServer and QSslSocket: GET /metrics,
// GET /-/healthy, 404 for anything else. It runs on the event loop's thread beside the
// monitors and never waits for a client: every socket is non-blocking, a request head is
// capped, an idle or slow connection is closed after a time-out, and the number of open
// connections is bounded, so slow or hostile clients cannot hold up polling or each other.
// With TLS the handshake is driven per connection under a time-out of its own, so clients that
// connect and never speak only hold their slot until it runs out.
//
// The slots are shared so that a scraper that behaves is served whatever others do: one
// address may not take the last quarter of them; another quarter is kept for addresses that
// lately completed a request (a scraper) and is closed to the rest; and when the slots a
// newcomer may use are all taken, the address holding the most of them gives up its oldest
// connection, provided it holds at least two more than the newcomer's address. Clients that
// idle, trickle or never read from one or two addresses thus only ever crowd each other.
// When accepting fails (out of descriptors), the failure is logged once and accepting is tried
// again every AcceptRetry until it works; the clients wait in the kernel's queue meanwhile.
#pragma once

#include "BasicAuth.h"
#include "Exposition.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QTcpServer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

class QSocketNotifier;
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
    // Slots one address may not take, kept for the others (MaxConnections / 4 when negative).
    int ReservedForOtherAddresses = -1;
    // Slots only addresses that lately completed a request may take (MaxConnections / 4 when
    // negative), and how long such an address counts as one.
    int ReservedForProvenAddresses = -1;
    std::chrono::minutes ProvenFor{60};
    // Between tries to accept again after accepting failed.
    std::chrono::milliseconds AcceptRetry{250};
    // Where the endpoint reports trouble it recovers from by itself; nowhere when empty.
    std::function<void(const std::string&)> Log;
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
    // Whether a newcomer from that address gets a slot, closing another connection to make
    // room when the sharing rules say so.
    bool MakeRoomFor(const QByteArray& peer);
    bool IsProven(const QByteArray& peer) const;
    void MarkProven(const QByteArray& peer);
    void AcceptFailed(const std::string& reason);
    void AcceptWorks();
    // Accepts the clients queued on the listening socket (Unix; elsewhere Qt accepts).
    void AcceptWaiting();
    void Report(const std::string& line) const;

    THttpServerConfig Settings;
    TMetricsPage Page;
    std::unique_ptr<QTcpServer> Server;
    QSocketNotifier* Waiting = nullptr; // clients queued on the listening socket (Unix)
    std::unordered_set<THttpConnection*> Connections; // open ones; children of this object
    // Addresses that completed a request, with when they last did (bounded).
    std::map<QByteArray, std::chrono::steady_clock::time_point> Proven;
    std::uint64_t Accepted = 0; // connections so far: their order of arrival
    bool AcceptFailing = false; // accepting failed and has not worked again yet
};
