// Crowds of hostile clients from one address, on a thread of their own, and a scraper with a
// deadline: what an attacker holding one or two machines does to the endpoint while Prometheus
// scrapes it.
#pragma once

#include "HttpClient.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace exportertest {

// A non-blocking TCP socket from that local address, its connection under way; -1 when even
// that fails.
inline int StartConnectFrom(const char* localAddress, quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    // Closed with a reset: thousands of reconnects leave no TIME_WAIT behind to use up ports.
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, localAddress, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        (::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0 &&
         errno != EINPROGRESS)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

enum class TAttack {
    Idle,       // connect and never send a byte
    Trickle,    // send a request head a byte at a time, never finishing it
    HalfClosed, // send a request, close the sending side and never read the answer
};

inline const char* AttackName(TAttack attack) {
    switch (attack) {
    case TAttack::Idle:
        return "idle";
    case TAttack::Trickle:
        return "trickle";
    case TAttack::HalfClosed:
        return "half-closed";
    }
    return "";
}

// Keeps `count` connections from one address open the way the attack says, reconnecting at
// once whenever the endpoint closes or refuses one.
class THostileCrowd {
public:
    THostileCrowd(const char* address, quint16 port, TAttack attack, int count)
        : Address(address), Port(port), Kind(attack), Slots(std::size_t(count)),
          Worker([this] { Run(); }) {}
    ~THostileCrowd() {
        Stopping = true;
        Worker.join();
        for (const TSlot& slot : Slots) {
            if (slot.Fd >= 0) {
                ::close(slot.Fd);
            }
        }
    }
    THostileCrowd(const THostileCrowd&) = delete;
    THostileCrowd& operator=(const THostileCrowd&) = delete;

    // Connections the endpoint has taken (and then closed or refused) so far.
    long Reconnects() const { return Connects.load(); }

private:
    struct TSlot {
        int Fd = -1;
        bool Connected = false;
        std::size_t Sent = 0; // bytes of the request sent
    };

    void Run() {
        static const std::string request = "GET /metrics HTTP/1.1\r\nHost: crowd\r\n\r\n";
        static const std::string head = "GET /metrics HTTP/1.1\r\nHost: crowd\r\nX-Pad: ";
        auto lastTrickle = std::chrono::steady_clock::now();
        std::vector<pollfd> polled;
        while (!Stopping) {
            for (TSlot& slot : Slots) {
                if (slot.Fd < 0) {
                    slot = TSlot();
                    slot.Fd = StartConnectFrom(Address, Port);
                    ++Connects;
                }
            }
            polled.clear();
            for (const TSlot& slot : Slots) {
                polled.push_back(
                    {slot.Fd, short(slot.Connected ? POLLRDHUP : POLLOUT | POLLRDHUP), 0});
            }
            ::poll(polled.data(), polled.size(), 20);
            const bool trickle =
                std::chrono::steady_clock::now() - lastTrickle > std::chrono::milliseconds(500);
            if (trickle) {
                lastTrickle = std::chrono::steady_clock::now();
            }
            for (std::size_t i = 0; i < Slots.size(); ++i) {
                TSlot& slot = Slots[i];
                const short events = polled[i].revents;
                if (events & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) {
                    ::close(slot.Fd); // the endpoint closed it, or refused it
                    slot.Fd = -1;
                    continue;
                }
                if (!slot.Connected && (events & POLLOUT)) {
                    slot.Connected = true;
                    if (Kind == TAttack::HalfClosed) {
                        ::send(slot.Fd, request.data(), request.size(), MSG_NOSIGNAL);
                        ::shutdown(slot.Fd, SHUT_WR);
                    }
                }
                if (slot.Connected && Kind == TAttack::Trickle && trickle) {
                    ::send(slot.Fd, &head[slot.Sent++ % head.size()], 1, MSG_NOSIGNAL);
                }
            }
        }
    }

    const char* Address;
    quint16 Port;
    TAttack Kind;
    std::vector<TSlot> Slots;
    std::atomic<bool> Stopping{false};
    std::atomic<long> Connects{0};
    std::thread Worker; // last: starts once the rest is whole
};

// One scrape of /metrics from that address as Prometheus makes it: connect, ask and read the
// answer, all within the deadline (Prometheus's default scrape time-out is 10 s). The status,
// 0 when there was no complete answer in time.
inline int ScrapeWithin(const char* localAddress, quint16 port,
                        std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    const auto left = [&] {
        return int(std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                         end - std::chrono::steady_clock::now())
                                         .count()));
    };
    const int fd = StartConnectFrom(localAddress, port);
    if (fd < 0) {
        return 0;
    }
    pollfd p{fd, POLLOUT, 0};
    int status = 0;
    if (::poll(&p, 1, left()) == 1 && !(p.revents & (POLLERR | POLLHUP))) {
        const std::string request = "GET /metrics HTTP/1.1\r\nHost: scraper\r\n\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        std::string bytes;
        THttpAnswerSeen answer;
        for (;;) {
            p = {fd, POLLIN, 0};
            if (::poll(&p, 1, left()) != 1) {
                break;
            }
            char buffer[65536];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            bytes.append(buffer, std::size_t(n));
            if (TakeAnswer(bytes, answer)) {
                status = answer.Status;
                break;
            }
        }
    }
    ::close(fd);
    return status;
}

} // namespace exportertest
