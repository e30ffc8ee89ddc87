// Runs the HTTP endpoint on a thread of its own with its own event loop, so that its answers do
// not queue behind the monitors' completions (500 servers finish their polls in bursts).
#pragma once

#include "HttpServer.h"

#include <QThread>
#include <string>

class TEndpointThread {
public:
    TEndpointThread(THttpServerConfig config, THttpServer::TMetricsPage page);
    // Stops the endpoint and its thread.
    ~TEndpointThread();
    TEndpointThread(const TEndpointThread&) = delete;
    TEndpointThread& operator=(const TEndpointThread&) = delete;

    // Starts listening on the endpoint's thread; false with the reason when it cannot.
    bool Listen(std::string& errorText);
    quint16 Port() const { return ListeningPort; }

private:
    QThread Thread;
    THttpServer* Server = nullptr; // lives on Thread
    quint16 ListeningPort = 0;
};
