// Stands between a TLS client's socket and Qt's (Unix). Qt reads the end of a client's stream
// as the end of the connection and drops whatever it still has to write, and its TLS socket
// cannot be kept from reading: a client that half-closed after its request lost the end of a
// large page. So Qt gets one end of a socket pair instead, and the relay copies the bytes both
// ways, except the end of the client's stream: that it reports (ClientEnded), and the
// connection closes once its answer is out. When Qt closes its end, what it wrote still goes out
// to the client, within a time-out.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <string>

class QSocketNotifier;

class TTlsRelay : public QObject {
public:
    // Takes over the accepted descriptor when Valid(); otherwise it stays the caller's.
    TTlsRelay(qintptr client, std::chrono::milliseconds drainTimeout, QObject* parent);
    ~TTlsRelay() override;
    TTlsRelay(const TTlsRelay&) = delete;
    TTlsRelay& operator=(const TTlsRelay&) = delete;

    bool Valid() const { return Client >= 0; }
    // Qt's end of the pair, for QSslSocket::setSocketDescriptor (Qt then owns it).
    qintptr QtSide() const { return QtEnd; }
    // Called once when the client has closed its sending side.
    std::function<void()> ClientEnded;
    // Closes the client's connection now, whatever is left unwritten.
    void Abort();

private:
    void Pump();
    bool FromClient();
    bool ToQtSide();
    bool FromQtSide();
    bool ToClientSide();
    void Arm();

    int Client = -1;
    int Inner = -1; // the relay's end of the pair
    qintptr QtEnd = -1;
    std::string ForQt;
    std::string ForClient;
    bool ClientDone = false; // the client's stream has ended
    bool QtDone = false;     // Qt has closed its end
    QSocketNotifier* ClientReadable = nullptr;
    QSocketNotifier* ClientWritable = nullptr;
    QSocketNotifier* InnerReadable = nullptr;
    QSocketNotifier* InnerWritable = nullptr;
    QTimer DrainLimit;
};
