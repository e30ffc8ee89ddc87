#include "ControlServer.h"

#include "TextUtil.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tdssim {

class ControlServer::Client : public FdHandler {
public:
    Client(ControlServer& server, int fd) : server_(server), fd_(fd) {
        server_.loop_.add(fd_, EPOLLIN | EPOLLRDHUP, this);
    }
    ~Client() override { close(); }

    void onEvents(std::uint32_t events) override {
        if (fd_ < 0) {
            return;
        }
        if (events & EPOLLOUT) {
            flush();
        }
        if (!(events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
            return;
        }
        char buf[4096];
        for (;;) {
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                in_.append(buf, static_cast<std::size_t>(n));
                if (in_.size() > (1u << 20)) {
                    finish();
                    return;
                }
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                eof_ = true;
            }
            break;
        }
        std::size_t nl;
        while (fd_ >= 0 && (nl = in_.find('\n')) != std::string::npos) {
            std::string line = trim(in_.substr(0, nl));
            in_.erase(0, nl + 1);
            if (lowerAscii(line) == "quit") {
                eof_ = true;
                break;
            }
            if (!line.empty()) {
                try {
                    out_ += server_.execute(line);
                } catch (const std::exception& e) {
                    out_ += std::string("ERR ") + e.what() + "\n";
                }
            }
        }
        flush();
        if (eof_ && out_.empty()) {
            finish();
        }
    }

private:
    void flush() {
        while (!out_.empty()) {
            ssize_t n = ::send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL);
            if (n > 0) {
                out_.erase(0, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            }
            finish();
            return;
        }
        server_.loop_.modify(fd_, EPOLLIN | EPOLLRDHUP | (out_.empty() ? 0u : EPOLLOUT), this);
        if (out_.empty() && eof_) {
            finish();
        }
    }
    void close() {
        if (fd_ >= 0) {
            server_.loop_.remove(fd_);
            ::close(fd_);
            fd_ = -1;
        }
    }
    void finish() {
        close();
        server_.clientClosed(this);
    }

    ControlServer& server_;
    int fd_;
    bool eof_ = false;
    std::string in_;
    std::string out_;
};

ControlServer::ControlServer(EventLoop& loop, std::vector<std::unique_ptr<Instance>>& instances,
                             int port)
    : loop_(loop), instances_(instances) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd_, 16) != 0) {
        int err = errno;
        ::close(fd_);
        throw std::runtime_error("cannot open control port " + std::to_string(port) + ": " +
                                 std::strerror(err));
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    loop_.add(fd_, EPOLLIN, this);
}

ControlServer::~ControlServer() {
    clients_.clear();
    loop_.remove(fd_);
    ::close(fd_);
}

void ControlServer::onEvents(std::uint32_t) {
    for (;;) {
        int c = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c < 0) {
            return;
        }
        auto client = std::make_unique<Client>(*this, c);
        Client* raw = client.get();
        clients_.emplace(raw, std::move(client));
    }
}

void ControlServer::clientClosed(Client* c) {
    auto it = clients_.find(c);
    if (it != clients_.end()) {
        loop_.destroyLater(std::move(it->second));
        clients_.erase(it);
    }
}

} // namespace tdssim
