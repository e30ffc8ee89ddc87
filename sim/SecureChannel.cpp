#include "SecureChannel.h"

#include "Packet.h"

namespace tdssim {

namespace {

constexpr std::size_t kHandshakePacketSize = 4096;

std::size_t packetLength(std::string_view header) {
    return (static_cast<std::size_t>(static_cast<unsigned char>(header[2])) << 8) |
           static_cast<unsigned char>(header[3]);
}

} // namespace

SecureChannel::SecureChannel(const TlsContext& context, TlsScope scope)
    : engine_(context), scope_(scope) {}

SecureChannel::Event SecureChannel::fromPeer(std::string_view bytes, std::string& toPeer,
                                             std::string& plain) {
    switch (state_) {
    case State::Handshake:
        return handshakeInput(bytes, toPeer, plain);
    case State::Records:
        return recordInput(bytes, plain);
    case State::Off:
        plain.append(bytes);
        return Event::None;
    }
    return Event::None;
}

SecureChannel::Event SecureChannel::handshakeInput(std::string_view bytes, std::string& toPeer,
                                                   std::string& plain) {
    packets_.append(bytes);
    std::size_t pos = 0;
    TlsEngine::Status status = TlsEngine::Status::WantInput;
    while (packets_.size() - pos >= kHeaderSize) {
        std::string_view header(packets_.data() + pos, kHeaderSize);
        const std::size_t length = packetLength(header);
        if (static_cast<std::uint8_t>(header[0]) != PacketType::Prelogin || length < kHeaderSize) {
            error_ = "expected the TLS handshake in PRELOGIN packets, got packet type " +
                     std::to_string(static_cast<unsigned char>(header[0]));
            return Event::Failed;
        }
        if (packets_.size() - pos < length) {
            break;
        }
        engine_.putInput(
            std::string_view(packets_).substr(pos + kHeaderSize, length - kHeaderSize));
        pos += length;
        status = engine_.handshake();
        // Drain after every step: a failed handshake's alert must still reach the client.
        wrap(toPeer);
        if (status != TlsEngine::Status::WantInput) {
            break;
        }
    }
    packets_.erase(0, pos);
    if (status == TlsEngine::Status::Failed) {
        error_ = engine_.error();
        return Event::Failed;
    }
    if (status == TlsEngine::Status::Done) {
        state_ = State::Records;
        std::string rest = std::move(packets_);
        packets_.clear();
        if (!rest.empty() && recordInput(rest, plain) == Event::Failed) {
            return Event::Failed;
        }
        return Event::HandshakeDone;
    }
    return Event::None;
}

SecureChannel::Event SecureChannel::recordInput(std::string_view bytes, std::string& plain) {
    engine_.putInput(bytes);
    std::string decrypted;
    TlsEngine::Status status = engine_.read(decrypted);
    if (scope_ == TlsScope::LoginOnly && !decrypted.empty()) {
        // Only the first TDS packet (the login) is encrypted; the client drops TLS after it
        // without a close_notify, and so does the server for its reply.
        if (loginHead_.size() < kHeaderSize) {
            loginHead_.append(decrypted.substr(0, kHeaderSize - loginHead_.size()));
        }
        loginPlain_ += decrypted.size();
        if (loginHead_.size() == kHeaderSize && loginPlain_ >= packetLength(loginHead_)) {
            state_ = State::Off;
        }
    }
    plain.append(decrypted);
    if (status == TlsEngine::Status::Failed) {
        error_ = engine_.error();
        return Event::Failed;
    }
    if (status == TlsEngine::Status::Done) {
        return Event::Closed;
    }
    return Event::None;
}

std::string SecureChannel::toPeer(std::string_view plain) {
    if (state_ != State::Records) {
        return std::string(plain);
    }
    engine_.write(plain);
    return engine_.takeOutput();
}

void SecureChannel::wrap(std::string& toPeer) {
    std::string flight = engine_.takeOutput();
    if (!flight.empty()) {
        appendPackets(toPeer, PacketType::Prelogin, flight, kHandshakePacketSize, 0, packetId_);
    }
}

} // namespace tdssim
