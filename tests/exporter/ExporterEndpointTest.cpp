// The exporter's HTTP endpoint as attackers and a machine out of descriptors meet it: the real
// executable on a loopback port, clients on real sockets from several loopback addresses.
#include "../config/TempFolder.h"
#include "ExporterProcess.h"
#include "HostileCrowd.h"
#include "HttpClient.h"
#include "RawClient.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace exportertest;
using tallyvane::testsupport::SpinUntil;

// The crowd tests hold the scraper to Prometheus's 10 s deadline: under the sanitizers the
// exporter is too slow for that to say anything about how it shares its slots.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool UnderSanitizers = true;
#else
constexpr bool UnderSanitizers = false;
#endif

// The exporter serving over plain HTTP or TLS, through a launcher when one is given. Each
// address below stands for another machine.
struct TEndpointFixture {
    explicit TEndpointFixture(bool tls, const std::string& servers = "",
                              const std::vector<std::string>& launcher = {},
                              const std::string& handshakeTimeout = "0.5")
        : Tls(tls) {
        WriteFile(Folder.File("servers.ini"), servers);
        std::vector<std::string> args = {"--servers", Folder.File("servers.ini"),
                                         "--handshake-timeout", handshakeTimeout};
        if (tls) {
            const std::string command =
                "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost -keyout '" +
                Folder.File("key.pem") + "' -out '" + Folder.File("cert.pem") + "' 2>/dev/null";
            EXPECT_EQ(std::system(command.c_str()), 0) << "openssl is missing?";
            args.insert(args.end(), {"--tls-cert", Folder.File("cert.pem"), "--tls-key",
                                     Folder.File("key.pem")});
        }
        Exporter = std::make_unique<TServingExporter>(args, launcher);
    }
    quint16 Port() const { return quint16(Exporter->Port); }
    int ScrapeFrom(const char* address) const {
        return Tls ? TlsScrapeFrom(address, Port()) : PlainScrapeFrom(address, Port());
    }
    // Scrapes until one is answered, within a generous bound; whether one was.
    bool AnsweredFrom(const char* address) const {
        return SpinUntil([&] { return ScrapeFrom(address) == 200; }, std::chrono::seconds(60));
    }

    bool Tls;
    TTempFolder Folder;
    std::unique_ptr<TServingExporter> Exporter;
};

TEST(ExporterEndpoint, IdleClientsBeyondTheBoundDoNotStopTheAccepting) {
    for (const bool tls : {true, false}) {
        TEndpointFixture endpoint(tls);
        ASSERT_NE(endpoint.Port(), 0) << endpoint.Exporter->Log();
        // 60 connections from one address that never send a byte (nor start TLS).
        TOpenSocketsForTest idle;
        for (int i = 0; i < 60; ++i) {
            const int fd = ConnectFrom("127.0.0.1", endpoint.Port());
            ASSERT_GE(fd, 0);
            idle.Fds.push_back(fd);
        }
        EXPECT_EQ(endpoint.ScrapeFrom("127.0.0.2"), 200) << "tls " << tls;
        // Another address's surplus, then every slot taken by idle clients of eight addresses.
        TOpenSocketsForTest crowd;
        for (int a = 3; a <= 10; ++a) {
            const std::string address = "127.0.0." + std::to_string(a);
            for (int i = 0; i < 10; ++i) {
                const int fd = ConnectFrom(address.c_str(), endpoint.Port());
                if (fd >= 0) {
                    crowd.Fds.push_back(fd);
                }
            }
        }
        if (tls) {
            // The handshake time-out frees the slots while the clients still hold on.
            EXPECT_TRUE(endpoint.AnsweredFrom("127.0.0.11"));
            EXPECT_TRUE(endpoint.AnsweredFrom("127.0.0.1"));
        }
        // Once they go, everyone is served again.
        idle.CloseAll();
        crowd.CloseAll();
        EXPECT_TRUE(endpoint.AnsweredFrom("127.0.0.1")) << "tls " << tls;
        EXPECT_TRUE(endpoint.AnsweredFrom("127.0.0.12")) << "tls " << tls;
        EXPECT_EQ(endpoint.Exporter->Stop(), 0) << endpoint.Exporter->Log();
    }
}

TEST(ExporterEndpoint, ATricklingClientDoesNotStarveAnotherAddress) {
    for (const bool tls : {true, false}) {
        TEndpointFixture endpoint(tls);
        ASSERT_NE(endpoint.Port(), 0) << endpoint.Exporter->Log();
        // One address keeps 40 connections open, reconnecting whenever one is closed, and
        // sends a byte of a request head on each now and then.
        TOpenSocketsForTest slow;
        const std::string head = "GET /metrics HTTP/1.1\r\nHost: slow\r\nX-Pad: ";
        std::vector<std::size_t> sent;
        int answered = 0;
        const int tries = 20;
        for (int round = 0; round < tries; ++round) {
            for (std::size_t i = 0; i < slow.Fds.size(); ++i) {
                if (slow.Fds[i] >= 0 && PeerClosed(slow.Fds[i])) {
                    ::close(slow.Fds[i]);
                    slow.Fds[i] = -1;
                }
                if (slow.Fds[i] >= 0) {
                    ::send(slow.Fds[i], &head[sent[i]++ % head.size()], 1, MSG_NOSIGNAL);
                }
            }
            for (std::size_t i = 0; i < 40; ++i) {
                if (i >= slow.Fds.size()) {
                    slow.Fds.push_back(-1);
                    sent.push_back(0);
                }
                if (slow.Fds[i] < 0) {
                    slow.Fds[i] = ConnectFrom("127.0.0.2", endpoint.Port());
                }
            }
            if (endpoint.ScrapeFrom("127.0.0.3") == 200) {
                ++answered;
            }
        }
        EXPECT_EQ(answered, tries) << "tls " << tls;
    }
}

TEST(ExporterEndpoint, HalfClosedRequestsAreAnswered) {
    for (const bool tls : {true, false}) {
        TEndpointFixture endpoint(tls);
        ASSERT_NE(endpoint.Port(), 0) << endpoint.Exporter->Log();
        const int tries = 20;
        int answered = 0;
        for (int i = 0; i < tries; ++i) {
            const std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
            THttpAnswerSeen answer;
            if (tls) {
                const auto socket = TlsFrom("127.0.0.2", endpoint.Port());
                ASSERT_TRUE(socket);
                answer = TlsRequest(*socket, request, true);
            } else {
                const int fd = ConnectFrom("127.0.0.2", endpoint.Port());
                ASSERT_GE(fd, 0);
                ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
                ::shutdown(fd, SHUT_WR);
                std::string bytes = ReadToEnd(fd);
                ::close(fd);
                TakeAnswer(bytes, answer);
            }
            if (answer.Status == 200 &&
                answer.Body.find("tallyvane_build_info") != std::string::npos) {
                ++answered;
            }
        }
        EXPECT_EQ(answered, tries) << "tls " << tls;
    }
}

// A server list of servers that refuse connections, named at length so that the page grows by
// about 7 KB a server.
std::string LongNamedDownServers(int count) {
    std::string servers;
    for (int i = 0; i < count; ++i) {
        servers += Section(std::to_string(i) + std::string(1000, 'N'),
                           "Provider=SQLOLEDB.1;Data Source=127.0.0.1,1;User ID=sa;Password=x;"
                           "Persist Security Info=True",
                           true, 2);
    }
    return servers;
}

QSslSocket* TrustingSocket() {
    auto* socket = new QSslSocket();
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setPeerVerifyMode(QSslSocket::VerifyNone); // a throw-away certificate
    socket->setSslConfiguration(config);
    return socket;
}

TEST(ExporterEndpoint, PagesOverFourMegabytesReachHalfClosedClientsWhole) {
    for (const bool tls : {false, true}) {
        TEndpointFixture endpoint(tls, LongNamedDownServers(600));
        ASSERT_NE(endpoint.Port(), 0) << endpoint.Exporter->Log();
        // Once every server has been polled the page is 4.4 MB, more than the kernel's buffers
        // on both ends hold.
        ASSERT_TRUE(SpinUntil(
            [&] {
                TClient client(endpoint.Port(), tls ? TrustingSocket() : nullptr);
                return client.Get("/metrics").Body.size() > 4u << 20;
            },
            std::chrono::seconds(30)));
        for (int i = 0; i < 5; ++i) {
            const std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
            THttpAnswerSeen answer;
            if (tls) {
                const auto socket = TlsFrom("127.0.0.2", endpoint.Port());
                ASSERT_TRUE(socket);
                answer = TlsRequest(*socket, request, true);
            } else {
                const int fd = ConnectFrom("127.0.0.2", endpoint.Port());
                ASSERT_GE(fd, 0);
                ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
                ::shutdown(fd, SHUT_WR);
                // The end of the request reaches the endpoint while most of the page is queued.
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                std::string bytes = ReadToEnd(fd);
                ::close(fd);
                TakeAnswer(bytes, answer);
            }
            EXPECT_EQ(answer.Status, 200) << "tls " << tls << ", try " << i;
            EXPECT_GT(answer.Body.size(), 4u << 20) << "tls " << tls << ", try " << i;
        }
        // Keep-alive clients that do not half-close are served as before.
        TClient client(endpoint.Port(), tls ? TrustingSocket() : nullptr);
        EXPECT_GT(client.Get("/metrics").Body.size(), 4u << 20) << "tls " << tls;
        EXPECT_GT(client.Get("/metrics").Body.size(), 4u << 20) << "tls " << tls;
        EXPECT_EQ(endpoint.Exporter->Stop(), 0) << endpoint.Exporter->Log();
    }
}

// Two addresses with 1,000 clients each, idle, trickling or half-closed without reading,
// against a scraper from a third that asks every 100 ms.
TEST(ExporterEndpoint, AScraperIsServedWhateverTwoAddressesDo) {
    if (UnderSanitizers) {
        GTEST_SKIP() << "too slow under the sanitizers for a scraper's 10 s deadline";
    }
    const std::pair<TAttack, TAttack> attacks[] = {{TAttack::Idle, TAttack::Idle},
                                                   {TAttack::Trickle, TAttack::Trickle},
                                                   {TAttack::HalfClosed, TAttack::HalfClosed},
                                                   {TAttack::Idle, TAttack::HalfClosed},
                                                   {TAttack::Trickle, TAttack::HalfClosed}};
    TEndpointFixture endpoint(false);
    ASSERT_NE(endpoint.Port(), 0) << endpoint.Exporter->Log();
    for (const auto& [first, second] : attacks) {
        const std::string what = std::string(AttackName(first)) + " + " + AttackName(second);
        THostileCrowd one("127.0.0.2", endpoint.Port(), first, 1000);
        THostileCrowd two("127.0.0.3", endpoint.Port(), second, 1000);
        std::this_thread::sleep_for(std::chrono::seconds(1)); // the crowd settles in
        const int scrapes = 30;
        int served = 0;
        for (int i = 0; i < scrapes; ++i) {
            if (ScrapeWithin("127.0.0.1", endpoint.Port()) == 200) {
                ++served;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_GE(served * 100, scrapes * 95)
            << what << ": " << served << " of " << scrapes << " scrapes served; the crowd "
            << "connected " << one.Reconnects() << " + " << two.Reconnects() << " times";
        std::cerr << what << ": " << served << " of " << scrapes << " scrapes served\n";
    }
    EXPECT_EQ(endpoint.Exporter->Stop(), 0) << endpoint.Exporter->Log();
}

// The same over TLS, where every admitted client costs a handshake: clients that never start
// it and clients that half-close after their request. The handshake time-out is the default
// one: on a machine this busy a scraper's own handshake may take more than a second.
TEST(ExporterEndpoint, AScraperIsServedOverTlsWhateverTwoAddressesDo) {
    if (UnderSanitizers) {
        GTEST_SKIP() << "too slow under the sanitizers for a scraper's 10 s deadline";
    }
    const std::pair<TAttack, TAttack> attacks[] = {{TAttack::Idle, TAttack::Idle},
                                                   {TAttack::Idle, TAttack::HalfClosed}};
    TEndpointFixture endpoint(true, "", {}, "10");
    ASSERT_NE(endpoint.Port(), 0) << endpoint.Exporter->Log();
    for (const auto& [first, second] : attacks) {
        const std::string what = std::string(AttackName(first)) + " + " + AttackName(second);
        THostileCrowd one("127.0.0.2", endpoint.Port(), first, 1000);
        THostileCrowd two("127.0.0.3", endpoint.Port(), second, 1000);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const int scrapes = 20;
        int served = 0;
        for (int i = 0; i < scrapes; ++i) {
            if (TlsScrapeFrom("127.0.0.1", endpoint.Port()) == 200) {
                ++served;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_GE(served * 100, scrapes * 95) << what << ": " << served << " of " << scrapes;
        std::cerr << what << " over TLS: " << served << " of " << scrapes << " scrapes served\n";
    }
    EXPECT_EQ(endpoint.Exporter->Stop(), 0) << endpoint.Exporter->Log();
}

std::string OpenDescriptors(qint64 pid) {
    std::string list = "open descriptors:";
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code error;
        list += " " + std::filesystem::read_symlink(entry.path(), error).string();
    }
    return list;
}

// Under a limit of 40 open files the idle clients use up the descriptors: accepting fails, is
// logged once, and works again once they are gone.
TEST(ExporterEndpoint, OutOfDescriptorsItLogsOnceAndAcceptsAgain) {
    TEndpointFixture endpoint(false, "", {"prlimit", "--nofile=40:40"});
    ASSERT_NE(endpoint.Port(), 0) << endpoint.Exporter->Log();
    TOpenSocketsForTest idle;
    for (int a = 20; a <= 23; ++a) {
        const std::string address = "127.0.0." + std::to_string(a);
        for (int i = 0; i < 15; ++i) {
            const int fd = ConnectFrom(address.c_str(), endpoint.Port());
            if (fd >= 0) {
                idle.Fds.push_back(fd);
            }
        }
    }
    ASSERT_GE(idle.Fds.size(), 40u);
    const std::string failing = "The HTTP endpoint cannot accept connections";
    ASSERT_TRUE(SpinUntil([&] {
        return endpoint.Exporter->Log().find(failing) != std::string::npos;
    })) << endpoint.Exporter->Log()
        << OpenDescriptors(endpoint.Exporter->Process.processId());
    // Several tries to accept again meanwhile, one line in the log.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::string& log = endpoint.Exporter->Log();
    EXPECT_EQ(log.find(failing), log.rfind(failing)) << log;
    EXPECT_NE(log.find("a limit of 40 open files"), std::string::npos) << log;
    idle.CloseAll();
    EXPECT_TRUE(endpoint.AnsweredFrom("127.0.0.9")) << endpoint.Exporter->Log();
    EXPECT_TRUE(SpinUntil([&] {
        return endpoint.Exporter->Log().find("The HTTP endpoint accepts connections again") !=
               std::string::npos;
    })) << endpoint.Exporter->Log();
    EXPECT_EQ(endpoint.Exporter->Stop(), 0) << endpoint.Exporter->Log();
}

// The soft limit is raised to the hard one at start; a fleet beyond what the limit allows is
// refused before a connection is made.
TEST(ExporterProcess, RaisesItsDescriptorLimitAndRefusesServersBeyondIt) {
    struct TCase {
        const char* Limit;
        int Servers;
        int ExitCode;
        const char* Said;
    };
    const TCase cases[] = {
        {"--nofile=300:300", 100, 1,
         "Cannot watch 100 servers: a limit of 300 open files allows 54 servers (each holds "
         "two descriptors). Raise the limit of open files"},
        {"--nofile=300:300", 54, 3, "Descriptors: a limit of 300 open files allows 54 servers"},
        {"--nofile=300:4096", 100, 3,
         "Descriptors: a limit of 4,096 open files (raised from 300) allows 1,952 servers"},
    };
    for (const TCase& c : cases) {
        TTempFolder folder;
        std::string servers;
        for (int i = 0; i < c.Servers; ++i) {
            servers += Section("S" + std::to_string(i),
                               "Provider=SQLOLEDB.1;Data Source=127.0.0.1,1;User ID=sa;"
                               "Password=x;Persist Security Info=True",
                               true, 2);
        }
        WriteFile(folder.File("servers.ini"), servers);
        WriteFile(folder.File("tallyvane.ini"), "");
        const TRunResult run = RunExporter({"--once", "--servers", folder.File("servers.ini"),
                                            "--settings", folder.File("tallyvane.ini")},
                                           60000, {"prlimit", c.Limit});
        EXPECT_EQ(run.ExitCode, c.ExitCode) << c.Limit << " " << c.Servers << "\n" << run.Err;
        EXPECT_NE(run.Err.find(c.Said), std::string::npos) << c.Limit << " " << c.Servers << "\n"
                                                           << run.Err;
    }
}

} // namespace
