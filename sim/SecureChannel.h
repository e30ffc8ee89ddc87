// Sits between a connection's socket and its TDS session once PRELOGIN has chosen
// encryption. During the handshake it unwraps the client's TLS flights from PRELOGIN
// packets and wraps the server's into PRELOGIN packets; then TLS records carry whole TDS
// packets. For "login only" it switches itself off after the login packet, both ways.
#pragma once

#include "TlsEngine.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tdssim {

enum class TlsScope { LoginOnly, Everything };

class SecureChannel {
public:
    enum class Event { None, HandshakeDone, Failed, Closed };

    SecureChannel(const TlsContext& context, TlsScope scope);

    // Bytes from the socket: toPeer gets what must go back (handshake flights, alerts),
    // plain what the session should read. Failed: error() says why (toPeer may hold an
    // alert to send before closing).
    Event fromPeer(std::string_view bytes, std::string& toPeer, std::string& plain);
    // The session's bytes as they go on the wire: encrypted while the channel is on.
    std::string toPeer(std::string_view plain);

    bool established() const { return state_ != State::Handshake; }
    // Still encrypting (false after the login packet when only the login is encrypted).
    bool on() const { return state_ != State::Off; }
    TlsScope scope() const { return scope_; }
    std::string version() const { return engine_.version(); }
    std::string cipher() const { return engine_.cipher(); }
    const std::string& error() const { return error_; }

private:
    enum class State { Handshake, Records, Off };

    Event handshakeInput(std::string_view bytes, std::string& toPeer, std::string& plain);
    Event recordInput(std::string_view bytes, std::string& plain);
    void wrap(std::string& toPeer);

    TlsEngine engine_;
    TlsScope scope_;
    State state_ = State::Handshake;
    std::string packets_;        // partial PRELOGIN packets during the handshake
    std::string loginHead_;      // the login packet's header, while only the login is encrypted
    std::size_t loginPlain_ = 0; // plaintext of it passed on so far
    std::uint8_t packetId_ = 1;
    std::string error_;
};

} // namespace tdssim
