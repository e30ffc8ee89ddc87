#include "EndpointThread.h"

#if !defined(_WIN32)
#include <openssl/crypto.h>
#endif

TEndpointThread::TEndpointThread(THttpServerConfig config, THttpServer::TMetricsPage page) {
    Thread.setObjectName("http");
    Server = new THttpServer(std::move(config), std::move(page));
    Server->moveToThread(&Thread);
    Thread.start();
}

TEndpointThread::~TEndpointThread() {
    // The server and its sockets go on their own thread, before it ends.
    QMetaObject::invokeMethod(
        Server,
        [this] {
            delete Server;
#if !defined(_WIN32)
            // The random generators OpenSSL made for this thread at its first handshake are
            // not freed when the thread ends: free them now.
            OPENSSL_thread_stop();
#endif
        },
        Qt::BlockingQueuedConnection);
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
