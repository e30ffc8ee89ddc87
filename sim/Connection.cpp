#include "Connection.h"

#include "Instance.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tdssim {

Connection::Connection(Instance& instance, int fd, std::uint64_t id)
    : instance_(instance), fd_(fd), id_(id), session_(instance.state(), *this) {
    instance_.loop().add(fd_, EPOLLIN | EPOLLRDHUP, this);
    const auto timeout = instance_.setup().loginTimeout;
    if (timeout.count() > 0) {
        loginTimer_ = instance_.loop().addTimer(timeout, [this] {
            loginTimer_.reset();
            loginTimedOut();
        });
    }
}

void Connection::loginTimedOut() {
    if (closed_ || session_.loggedIn()) {
        return;
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g",
                  static_cast<double>(instance_.setup().loginTimeout.count()) / 1000.0);
    log(0, "login-timeout",
        {{"seconds", seconds},
         {"tls", tls_ ? (tls_->established() ? "established" : "handshake") : "none"}});
    close("login time-out");
}

Connection::~Connection() {
    if (!closed_) {
        close("shutdown");
    }
}

void Connection::onEvents(std::uint32_t events) {
    if (closed_) {
        return;
    }
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        readAll();
    }
    if (!closed_ && (events & EPOLLOUT)) {
        flush();
    }
}

void Connection::readAll() {
    char buf[65536];
    for (;;) {
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n > 0) {
            try {
                received(std::string_view(buf, static_cast<std::size_t>(n)));
            } catch (const std::exception& e) {
                // One connection's trouble must not take the server down.
                log(0, "internal-error", {{"reason", e.what()}});
                close("internal error");
            }
            if (closed_) {
                return;
            }
            continue;
        }
        if (n == 0) {
            close("client closed");
            return;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            close("read error");
        }
        return;
    }
}

void Connection::received(std::string_view bytes) {
    if (!tls_) {
        session_.onBytes(bytes);
    } else {
        std::string back;
        std::string plain;
        const SecureChannel::Event event = tls_->fromPeer(bytes, back, plain);
        write(std::move(back));
        if (event == SecureChannel::Event::HandshakeDone) {
            log(0, "encryption",
                {{"mode", tls_->scope() == TlsScope::LoginOnly ? "login" : "all"},
                 {"server", encryptionModeName(instance_.setup().encryption)},
                 {"tls", tls_->version()},
                 {"cipher", tls_->cipher()}});
        }
        if (event == SecureChannel::Event::Failed) {
            log(0, "tls-failed",
                {{"reason", tls_->error()},
                 {"during", tls_->established() ? "records" : "handshake"}});
            // Nothing more is read from this client; the alert (if any) goes out first.
            tls_.reset();
            session_.onClosed();
            closeAfterSend();
            return;
        }
        if (!plain.empty() && !closed_) {
            session_.onBytes(plain);
        }
        if (event == SecureChannel::Event::Closed && !closed_) {
            close("client closed");
            return;
        }
    }
    if (loginTimer_ && session_.loggedIn()) {
        instance_.loop().cancelTimer(*loginTimer_);
        loginTimer_.reset();
    }
}

EncryptionMode Connection::encryption() const {
    return instance_.setup().encryption;
}

void Connection::startTls(TlsScope scope) {
    if (!instance_.setup().tls) {
        throw std::logic_error("encryption asked for without a certificate");
    }
    tls_ = std::make_unique<SecureChannel>(*instance_.setup().tls, scope);
}

void Connection::send(std::string bytes) {
    if (closed_) {
        return;
    }
    if (tls_ && tls_->on()) {
        bytes = tls_->toPeer(bytes);
    }
    write(std::move(bytes));
}

void Connection::write(std::string bytes) {
    if (closed_ || bytes.empty()) {
        return;
    }
    if (outPos_ == out_.size()) {
        out_ = std::move(bytes);
        outPos_ = 0;
    } else {
        out_.append(bytes);
    }
    flush();
}

void Connection::flush() {
    while (outPos_ < out_.size()) {
        ssize_t n = ::send(fd_, out_.data() + outPos_, out_.size() - outPos_, MSG_NOSIGNAL);
        if (n > 0) {
            outPos_ += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        close("write error");
        return;
    }
    if (outPos_ == out_.size()) {
        out_.clear();
        outPos_ = 0;
        if (closeWhenFlushed_) {
            close("closed by server");
            return;
        }
    }
    updateInterest();
}

void Connection::updateInterest() {
    bool want = outPos_ < out_.size();
    if (want != wantWrite_) {
        wantWrite_ = want;
        instance_.loop().modify(fd_, EPOLLIN | EPOLLRDHUP | (want ? EPOLLOUT : 0u), this);
    }
}

void Connection::closeAfterSend() {
    closeWhenFlushed_ = true;
    if (outPos_ == out_.size() && !closed_) {
        close("closed by server");
    }
}

void Connection::startTimer(std::chrono::milliseconds delay) {
    stopTimer();
    timer_ = instance_.loop().addTimer(delay, [this] {
        timer_.reset();
        try {
            session_.onTimer();
        } catch (const std::exception& e) {
            log(0, "internal-error", {{"reason", e.what()}});
            close("internal error");
        }
    });
}

void Connection::stopTimer() {
    if (timer_) {
        instance_.loop().cancelTimer(*timer_);
        timer_.reset();
    }
}

void Connection::log(int spid, std::string_view event, const LogFields& fields) {
    if (spid != 0) {
        lastSpid_ = spid;
    }
    instance_.clientLog().write(instance_.index(), instance_.port(), id_, spid ? spid : lastSpid_,
                                event, fields);
}

void Connection::close(const std::string& reason) {
    if (closed_) {
        return;
    }
    closed_ = true;
    if (tls_ && !tls_->established()) {
        // Clients that reject the certificate often just hang up, without an alert.
        log(0, "tls-failed",
            {{"reason", "connection ended during the handshake (" + reason + ")"},
             {"during", "handshake"}});
    }
    stopTimer();
    if (loginTimer_) {
        instance_.loop().cancelTimer(*loginTimer_);
        loginTimer_.reset();
    }
    int spid = session_.spid();
    session_.onClosed();
    instance_.loop().remove(fd_);
    ::close(fd_);
    log(spid, "disconnect", {{"reason", reason}});
    instance_.connectionClosed(this);
}

} // namespace tdssim
