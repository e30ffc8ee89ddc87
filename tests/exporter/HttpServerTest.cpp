// The HTTP endpoint over real loopback sockets: routes, formats, limits, time-outs, slow and
// surplus clients, basic authentication and TLS.
#include "HttpServer.h"

#include "../config/TempFolder.h"
#include "HttpClient.h"
#include "RawClient.h"
#include "TlsFiles.h"

#include <QSslCertificate>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using exportertest::ConnectFrom;
using exportertest::TClient;
using tallyvane::testsupport::SpinUntil;

// The page names the format it was asked for, so the tests can see what was chosen.
std::string Page(TExpositionFormat format) {
    return format == TExpositionFormat::OpenMetrics ? "om\n# EOF\n" : "text\n";
}

struct TServerUnderTest {
    explicit TServerUnderTest(THttpServerConfig config = {}) {
        config.Port = 0;
        Server = std::make_unique<THttpServer>(std::move(config), Page);
        std::string error;
        if (!Server->Listen(error)) {
            throw std::runtime_error(error);
        }
    }
    quint16 Port() const { return Server->Port(); }
    std::unique_ptr<THttpServer> Server;
};

TEST(HttpServer, Routes) {
    TServerUnderTest server;
    TClient client(server.Port());
    const struct {
        std::string Request;
        int Status;
        std::string ContentType; // prefix
        std::string Body;        // prefix
    } cases[] = {
        {"GET /metrics HTTP/1.1\r\n\r\n", 200, "text/plain; version=0.0.4", "text\n"},
        {"GET /metrics?debug=1 HTTP/1.1\r\n\r\n", 200, "text/plain; version=0.0.4", "text\n"},
        {"GET /metrics HTTP/1.1\r\nAccept: application/openmetrics-text;version=1.0.0,"
         "text/plain;version=0.0.4;q=0.5\r\n\r\n",
         200, "application/openmetrics-text; version=1.0.0", "om\n"},
        {"GET /-/healthy HTTP/1.1\r\n\r\n", 200, "text/plain", "Tallyvane exporter is healthy."},
        {"GET / HTTP/1.1\r\n\r\n", 404, "text/plain", "Not found"},
        {"GET /metrics/ HTTP/1.1\r\n\r\n", 404, "text/plain", "Not found"},
        {"GET /METRICS HTTP/1.1\r\n\r\n", 404, "text/plain", "Not found"},
        {"GET /../metrics HTTP/1.1\r\n\r\n", 404, "text/plain", "Not found"},
    };
    for (const auto& c : cases) {
        client.Send(c.Request);
        const auto answer = client.Next();
        EXPECT_EQ(answer.Status, c.Status) << c.Request;
        EXPECT_EQ(answer.Headers.at("content-type").rfind(c.ContentType, 0), 0u) << c.Request;
        EXPECT_EQ(answer.Body.rfind(c.Body, 0), 0u) << c.Request << answer.Body;
        EXPECT_EQ(answer.Headers.at("connection"), "keep-alive");
    }
    EXPECT_FALSE(client.Closed());
}

TEST(HttpServer, HeadAndOtherMethods) {
    TServerUnderTest server;
    TClient head(server.Port());
    head.Send("HEAD /metrics HTTP/1.1\r\n\r\n");
    const auto answer = head.Next(true);
    EXPECT_EQ(answer.Status, 200);
    EXPECT_EQ(answer.Headers.at("content-length"), "5");
    head.Send("GET /-/healthy HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head.Next().Status, 200) << "a HEAD answer carries no body to skip";

    TClient post(server.Port());
    post.Send("POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
    const auto refused = post.Next();
    EXPECT_EQ(refused.Status, 405);
    EXPECT_EQ(refused.Headers.at("allow"), "GET, HEAD");
    EXPECT_TRUE(post.WaitClosed());
}

TEST(HttpServer, PipelinedRequestsAreAnsweredInOrder) {
    TServerUnderTest server;
    TClient client(server.Port());
    client.Send("GET /-/healthy HTTP/1.1\r\n\r\nGET /nope HTTP/1.1\r\n\r\n"
                "GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(client.Next().Status, 200);
    EXPECT_EQ(client.Next().Status, 404);
    const auto last = client.Next();
    EXPECT_EQ(last.Status, 200);
    EXPECT_EQ(last.Headers.at("connection"), "close");
    EXPECT_TRUE(client.WaitClosed());
}

TEST(HttpServer, OversizedAndBadHeadsAreRefusedAndClosed) {
    TServerUnderTest server;
    const struct {
        std::string Bytes;
        int Status;
    } cases[] = {
        {"GET /metrics HTTP/1.1\r\nX-Filler: " + std::string(9000, 'x') + "\r\n\r\n", 431},
        // No end of line at all: the cap still holds.
        {"GET /" + std::string(9000, 'a'), 431},
        {"GET /metrics HTTP/9.9\r\n\r\n", 400},
        {"hello\r\n\r\n", 400},
    };
    for (const auto& c : cases) {
        TClient client(server.Port());
        client.Send(c.Bytes);
        EXPECT_EQ(client.Next().Status, c.Status) << c.Bytes.substr(0, 30);
        EXPECT_TRUE(client.WaitClosed()) << c.Bytes.substr(0, 30);
    }
}

TEST(HttpServer, IdleAndSlowConnectionsAreClosedAfterTheTimeOut) {
    THttpServerConfig config;
    config.IdleTimeout = std::chrono::milliseconds(300);
    TServerUnderTest server(config);
    TClient silent(server.Port());
    TClient partial(server.Port());
    partial.Send("GET /metrics HTTP/1.1\r\n");
    TClient served(server.Port());
    EXPECT_EQ(served.Get("/-/healthy").Status, 200);
    // A slow sender gets no more time by trickling bytes.
    TClient trickle(server.Port());
    for (const char c : std::string("GET /metrics HTTP/1.1\r\nHost: x\r\n")) {
        trickle.Send(std::string(1, c));
        SpinUntil([] { return false; }, std::chrono::milliseconds(15));
    }
    EXPECT_TRUE(silent.WaitClosed());
    EXPECT_TRUE(partial.WaitClosed());
    EXPECT_TRUE(served.WaitClosed()) << "kept alive, then idle";
    EXPECT_TRUE(trickle.WaitClosed());
    EXPECT_EQ(trickle.Unread(), "");
    EXPECT_TRUE(SpinUntil([&] { return server.Server->OpenConnections() == 0; }));
}

TEST(HttpServer, SlowClientsDoNotHoldUpOthers) {
    TServerUnderTest server;
    std::vector<std::unique_ptr<TClient>> slow;
    for (int i = 0; i < 30; ++i) {
        slow.push_back(std::make_unique<TClient>(server.Port()));
        slow.back()->Send("GET /metrics HTTP/1.1\r\nHost: slow\r\n"); // never finished
    }
    TClient quick(server.Port());
    EXPECT_EQ(quick.Get("/metrics").Status, 200);
    EXPECT_EQ(server.Server->OpenConnections(), 31) << "the slow ones are still waiting";
}

// Connects with a bare socket and reports whether the server closes it without an answer.
bool RawConnectionIsClosed(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return false;
    }
    ssize_t got = -1;
    SpinUntil([&] {
        char byte = 0;
        got = ::recv(fd, &byte, 1, MSG_DONTWAIT);
        return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    });
    ::close(fd);
    return got <= 0 && !(got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

TEST(HttpServer, ConnectionsBeyondTheBoundAreRefused) {
    THttpServerConfig config;
    config.MaxConnections = 3;
    TServerUnderTest server(config);
    std::vector<std::unique_ptr<TClient>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<TClient>(server.Port()));
    }
    ASSERT_TRUE(SpinUntil([&] { return server.Server->OpenConnections() == 3; }));
    EXPECT_TRUE(RawConnectionIsClosed(server.Port()));
    held.pop_back();
    ASSERT_TRUE(SpinUntil([&] { return server.Server->OpenConnections() == 2; }));
    TClient next(server.Port());
    EXPECT_EQ(next.Get("/metrics").Status, 200);
}

// Reads what the server sends until it closes, the event loop running meanwhile.
std::string ReadToEnd(int fd) {
    std::string received;
    SpinUntil([&] {
        char buffer[4096];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            received.append(buffer, std::size_t(got));
            return false;
        }
        return got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    });
    return received;
}

TEST(HttpServer, OneAddressCannotTakeTheSlotsKeptForOthers) {
    THttpServerConfig config;
    config.MaxConnections = 8; // two of them kept for other addresses
    TServerUnderTest server(config);
    std::vector<int> hog;
    for (int i = 0; i < 8; ++i) {
        hog.push_back(ConnectFrom("127.0.0.2", server.Port()));
        ASSERT_GE(hog.back(), 0);
    }
    SpinUntil([&] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(server.Server->OpenConnections(), 6) << "the surplus of one address is refused";
    TClient scraper(server.Port()); // from 127.0.0.1
    EXPECT_EQ(scraper.Get("/metrics").Status, 200);
    for (const int fd : hog) {
        ::close(fd);
    }
}

TEST(HttpServer, HalfClosedRequestsAreAnswered) {
    TServerUnderTest server;
    for (int i = 0; i < 20; ++i) {
        const int fd = ConnectFrom("127.0.0.1", server.Port());
        ASSERT_GE(fd, 0);
        const std::string request = "GET /-/healthy HTTP/1.1\r\nConnection: close\r\n\r\n";
        ASSERT_EQ(::send(fd, request.data(), request.size(), 0), ssize_t(request.size()));
        ::shutdown(fd, SHUT_WR);
        const std::string answer = ReadToEnd(fd);
        ::close(fd);
        EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << "request " << i << ": " << answer;
    }
}

TEST(HttpServer, BasicAuthenticationGuardsTheMetrics) {
    THttpServerConfig config;
    config.Auth.emplace("prom", "pw");
    TServerUnderTest server(config);
    TClient client(server.Port());
    const auto refused = client.Get("/metrics");
    EXPECT_EQ(refused.Status, 401);
    EXPECT_EQ(refused.Headers.at("www-authenticate").rfind("Basic realm=", 0), 0u);
    EXPECT_EQ(refused.Body.find("text"), std::string::npos);
    EXPECT_EQ(client
                  .Get("/metrics", "Authorization: Basic " +
                                       QByteArray("prom:wrong").toBase64().toStdString() + "\r\n")
                  .Status,
              401);
    const auto accepted =
        client.Get("/metrics", "Authorization: Basic " +
                                   QByteArray("prom:pw").toBase64().toStdString() + "\r\n");
    EXPECT_EQ(accepted.Status, 200);
    EXPECT_EQ(accepted.Body, "text\n");
    EXPECT_EQ(client.Get("/-/healthy").Status, 200) << "health checks need no password";
}

TEST(HttpServer, ListenFailsWithAReason) {
    TServerUnderTest first;
    THttpServerConfig config;
    config.Port = first.Port();
    THttpServer second(config, Page);
    std::string error;
    EXPECT_FALSE(second.Listen(error));
    EXPECT_NE(error.find(std::to_string(first.Port())), std::string::npos) << error;
}

// A throw-away certificate for 127.0.0.1, made per run with the openssl tool.
void MakeCertificate(const TTempFolder& folder) {
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost"
        " -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout '" +
        folder.File("key.pem") + "' -out '" + folder.File("cert.pem") + "' 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << "openssl is missing?";
}

// A client socket that trusts the folder's certificate; TClient takes it over.
QSslSocket* TrustingClientSocket(const TTempFolder& folder) {
    auto* socket = new QSslSocket();
    QSslConfiguration client = QSslConfiguration::defaultConfiguration();
    client.setCaCertificates(
        QSslCertificate::fromPath(QString::fromStdString(folder.File("cert.pem"))));
    socket->setSslConfiguration(client);
    return socket;
}

TEST(HttpServer, Tls) {
    TTempFolder folder;
    MakeCertificate(folder);
    THttpServerConfig config;
    config.Tls = LoadTlsConfiguration(folder.File("cert.pem"), folder.File("key.pem"));
    config.IdleTimeout = std::chrono::milliseconds(500);
    TServerUnderTest server(config);

    QSslSocket* socket = TrustingClientSocket(folder);
    TClient secure(server.Port(), socket);
    ASSERT_TRUE(socket->isEncrypted()) << socket->errorString().toStdString();
    EXPECT_EQ(secure.Get("/metrics").Body, "text\n");

    // Plain HTTP to the TLS port gets no answer, and the connection does not stay.
    TClient plain(server.Port());
    plain.Send("GET /metrics HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(plain.WaitClosed());
    EXPECT_EQ(plain.Unread().find("text"), std::string::npos);
}

// Clients that connect to the TLS port and never start the handshake hold their slot only
// until the time-out; beyond the bound they are refused, and the server keeps accepting.
TEST(HttpServer, TlsClientsThatNeverShakeHandsDoNotStopTheServer) {
    TTempFolder folder;
    MakeCertificate(folder);
    THttpServerConfig config;
    config.Tls = LoadTlsConfiguration(folder.File("cert.pem"), folder.File("key.pem"));
    config.HandshakeTimeout = std::chrono::milliseconds(300);
    config.MaxConnections = 8;
    config.ReservedForOtherAddresses = 0;
    config.ReservedForProvenAddresses = 0;
    TServerUnderTest server(config);
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(SpinUntil([&] { return server.Server->OpenConnections() == 0; }));
        std::vector<int> idle;
        for (int i = 0; i < 20; ++i) {
            idle.push_back(ConnectFrom("127.0.0.1", server.Port()));
        }

        ASSERT_TRUE(SpinUntil([&] { return server.Server->OpenConnections() == 8; }))
            << "round " << round;
        EXPECT_TRUE(SpinUntil([&] { return server.Server->OpenConnections() == 0; }))
            << "the silent ones time out";
        for (const int fd : idle) {
            ::close(fd);
        }
        QSslSocket* socket = TrustingClientSocket(folder);
        TClient secure(server.Port(), socket);
        ASSERT_TRUE(socket->isEncrypted()) << socket->errorString().toStdString();
        EXPECT_EQ(secure.Get("/metrics").Body, "text\n") << "round " << round;
    }
}

TEST(HttpServer, TlsFilesThatCannotBeUsed) {
    TTempFolder folder;
    MakeCertificate(folder);
    std::ofstream(folder.File("garbage.pem")) << "not a key\n";
    const struct {
        std::string Cert;
        std::string Key;
    } cases[] = {
        {folder.File("missing.pem"), folder.File("key.pem")},
        {folder.File("cert.pem"), folder.File("missing.pem")},
        {folder.File("garbage.pem"), folder.File("key.pem")},
        {folder.File("cert.pem"), folder.File("garbage.pem")},
        {folder.File("key.pem"), folder.File("cert.pem")},
    };
    for (const auto& c : cases) {
        EXPECT_THROW(LoadTlsConfiguration(c.Cert, c.Key), std::exception) << c.Cert << " " << c.Key;
    }
}

} // namespace
