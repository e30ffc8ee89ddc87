// One client connection's conversation: PRELOGIN, LOGIN7, then requests, attentions and
// faults. It knows no sockets: bytes come in through onBytes and leave through its host,
// so the fuzz target can drive it as the server does.
#pragma once

#include "ClientLog.h"
#include "Executor.h"
#include "Packet.h"
#include "Prelogin.h"
#include "SecureChannel.h"
#include "ServerState.h"
#include "TokenWriter.h"

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tdssim {

class SessionHost {
public:
    virtual ~SessionHost() = default;
    virtual void send(std::string bytes) = 0;
    // Close the connection once everything queued has been written.
    virtual void closeAfterSend() = 0;
    // One timer per session; onTimer runs when it fires.
    virtual void startTimer(std::chrono::milliseconds delay) = 0;
    virtual void stopTimer() = 0;
    virtual void log(int spid, std::string_view event, const LogFields& fields) = 0;
    // How this server is set up for encryption.
    virtual EncryptionMode encryption() const = 0;
    // The PRELOGIN reply has gone out: from the next byte on, the client does TLS.
    virtual void startTls(TlsScope scope) = 0;
};

class TdsSession {
public:
    TdsSession(ServerState& state, SessionHost& host);
    ~TdsSession();
    TdsSession(const TdsSession&) = delete;
    TdsSession& operator=(const TdsSession&) = delete;

    void onBytes(std::string_view data);
    void onTimer();
    // The connection is gone (client closed, KILL, shutdown): the session leaves the server.
    void onClosed();
    int spid() const { return spid_; }
    // The login succeeded (the login time-out no longer applies).
    bool loggedIn() const { return phase_ == Phase::Ready; }

private:
    enum class Phase { Prelogin, Login, Ready, Closed };

    void handle(Message m);
    void handlePrelogin(const std::string& payload);
    void handleLogin(const std::string& payload);
    void loginWithoutPrelogin(const std::string& payload);
    void loginFailed(const std::string& user, const std::string& reason,
                     const std::optional<ServerMessage>& extra = std::nullopt);
    void handleRequest(Message m);
    void noteRequest(const Message& m);
    void respond(const Message& m);
    void respondBatch(TokenWriter& tw, const std::string& payload, bool& rows);
    void respondRpc(TokenWriter& tw, const std::string& payload, bool& rows);
    void respondTm(TokenWriter& tw, const std::string& payload);
    void attention();
    void sendMessage(const std::string& payload, std::size_t packetSize);
    void sendMalformed();
    void drainQueue();
    void protocolError(const std::string& what);
    bool tds72() const { return tdsVersion_ >= 0x72000000u; }
    bool tds71() const { return tdsVersion_ >= 0x71000000u; }
    TokenWriter writer(std::string& out) const;

    ServerState& state_;
    SessionHost& host_;
    MessageAssembler assembler_;
    Phase phase_ = Phase::Prelogin;
    std::uint32_t tdsVersion_ = 0x74000004u;
    std::size_t packetSize_ = 4096;
    std::uint8_t packetId_ = 1;
    int spid_ = 0;
    const LoginDef* login_ = nullptr;
    std::optional<Message> pending_; // received, not yet answered (delay or hang)
    std::deque<Message> queue_;      // arrived while one was pending
    struct Prepared {
        std::string statement;
        std::string declarations;
    };
    std::map<std::int32_t, Prepared> prepared_;
    std::int32_t nextHandle_ = 1;
    TransactionDescriptor transaction_;
};

} // namespace tdssim
