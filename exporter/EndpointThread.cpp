#include "EndpointThread.h"

TEndpointThread::TEndpointThread(THttpServerConfig config, THttpServer::TMetricsPage page) {
    Thread.setObjectName("http");
    Server = new THttpServer(std::move(config), std::move(page));
    Server->moveToThread(&Thread);
    Thread.start();
}

TEndpointThread::~TEndpointThread() {
    // The server and its sockets go on their own thread, before it ends.
    QMetaObject::invokeMethod(
        Server, [this] { delete Server; }, Qt::BlockingQueuedConnection);
    Thread.quit();
    Thread.wait();
}

bool TEndpointThread::Listen(std::string& errorText) {
    bool listening = false;
    QMetaObject::invokeMethod(
        Server,
        [&] {
            listening = Server->Listen(errorText);
            ListeningPort = Server->Port();
        },
        Qt::BlockingQueuedConnection);
    return listening;
}
