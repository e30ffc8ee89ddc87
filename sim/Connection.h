// A client socket of one instance: moves bytes between the socket and its TdsSession.
#pragma once

#include "EventLoop.h"
#include "TdsSession.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace tdssim {

class Instance;

class Connection : public FdHandler, public SessionHost {
public:
    Connection(Instance& instance, int fd, std::uint64_t id);
    ~Connection() override;

    void onEvents(std::uint32_t events) override;

    void send(std::string bytes) override;
    void closeAfterSend() override;
    void startTimer(std::chrono::milliseconds delay) override;
    void stopTimer() override;
    void log(int spid, std::string_view event, const LogFields& fields) override;
    EncryptionMode encryption() const override;
    void startTls(TlsScope scope) override;

    // Closes at once (KILL, shutdown, client gone). Safe to call twice.
    void close(const std::string& reason);
    int spid() const { return session_.spid(); }
    std::uint64_t id() const { return id_; }

private:
    void readAll();
    void received(std::string_view bytes);
    void write(std::string bytes);
    void flush();
    void loginTimedOut();
    void updateInterest();

    Instance& instance_;
    int fd_;
    std::uint64_t id_;
    bool closed_ = false;
    bool closeWhenFlushed_ = false;
    bool wantWrite_ = false;
    int lastSpid_ = 0;
    std::string out_;
    std::size_t outPos_ = 0;
    std::optional<std::uint64_t> timer_;
    std::optional<std::uint64_t> loginTimer_;
    std::unique_ptr<SecureChannel> tls_;
    TdsSession session_; // last: it talks to the members above
};

} // namespace tdssim
