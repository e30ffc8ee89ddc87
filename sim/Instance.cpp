#include "Instance.h"

#include "Connection.h"
#include "DescriptorLimit.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace tdssim {

Instance::Instance(EventLoop& loop, ClientLog& log, Scenario scenario, int index, int port,
                   InstanceSetup setup)
    : loop_(loop), log_(log), state_(std::move(scenario), index, Clock::now()), setup_(setup),
      index_(index), port_(port) {
    state_.onKillConnection = [this](int spid) { killConnection(spid); };
}

Instance::~Instance() {
    closeAll();
    if (fd_ >= 0) {
        if (listening_) {
            loop_.remove(fd_);
        }
        ::close(fd_);
    }
}

void Instance::bindSocket() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port_));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int err = errno;
        ::close(fd);
        throw std::runtime_error("cannot bind 127.0.0.1:" + std::to_string(port_) + ": " +
                                 std::strerror(err));
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    fd_ = fd;
}

void Instance::open() {
    bindSocket();
    applyFaults();
}

void Instance::applyFaults() {
    const bool refuse = state_.faults().refuse;
    if (refuse && listening_) {
        // A bound socket that does not listen keeps the port and refuses connections.
        loop_.remove(fd_);
        ::close(fd_);
        fd_ = -1;
        listening_ = false;
        bindSocket();
    } else if (!refuse && !listening_) {
        if (::listen(fd_, 128) != 0) {
            throw std::runtime_error("listen on port " + std::to_string(port_) + ": " +
                                     std::strerror(errno));
        }
        loop_.add(fd_, EPOLLIN, this);
        listening_ = true;
    }
}

void Instance::onEvents(std::uint32_t) {
    for (;;) {
        int c = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c < 0) {
            if ((errno == EMFILE || errno == ENFILE) && shedWaitingClient(fd_)) {
                continue;
            }
            return; // EAGAIN, or a connection that went away before we took it
        }
        int one = 1;
        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::uint64_t id = nextConnection_++;
        log_.write(index_, port_, id, 0, "connect", {});
        auto conn = std::make_unique<Connection>(*this, c, id);
        Connection* raw = conn.get();
        connections_.emplace(raw, std::move(conn));
    }
}

void Instance::connectionClosed(Connection* c) {
    auto it = connections_.find(c);
    if (it == connections_.end()) {
        return;
    }
    loop_.destroyLater(std::move(it->second));
    connections_.erase(it);
}

void Instance::killConnection(int spid) {
    for (auto& [raw, conn] : connections_) {
        if (raw->spid() == spid) {
            raw->close("killed");
            return; // close() erased the entry; the loop must not go on
        }
    }
}

void Instance::closeAll() {
    std::vector<std::unique_ptr<Connection>> all;
    for (auto& entry : connections_) {
        all.push_back(std::move(entry.second));
    }
    connections_.clear();
    for (auto& c : all) {
        c->close("shutdown");
    }
}

} // namespace tdssim
