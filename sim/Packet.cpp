#include "Packet.h"

#include "Bytes.h"

#include <algorithm>

namespace tdssim {

bool isClientPacketType(std::uint8_t type) {
    switch (type) {
    case PacketType::SqlBatch:
    case 0x02: // pre-7 login
    case PacketType::Rpc:
    case PacketType::Attention:
    case 0x07: // bulk load
    case 0x0F: // federated authentication token
    case PacketType::TransactionManager:
    case PacketType::Login7:
    case 0x11: // SSPI
    case PacketType::Prelogin:
        return true;
    default:
        return false;
    }
}

std::optional<Message> MessageAssembler::next() {
    while (buffer_.size() - consumed_ >= kHeaderSize) {
        ByteReader header(std::string_view(buffer_).substr(consumed_, kHeaderSize));
        std::uint8_t type = header.u8();
        std::uint8_t status = header.u8();
        std::uint16_t length = header.u16be();
        if (length < kHeaderSize) {
            throw ProtocolError("packet length below header size");
        }
        if (!isClientPacketType(type)) {
            // Say so at once rather than wait for a length that will never come (a TLS
            // record sent in the clear looks like this).
            throw ProtocolError("not a TDS client packet type: " + std::to_string(type));
        }
        if (buffer_.size() - consumed_ < length) {
            break;
        }
        std::string_view body =
            std::string_view(buffer_).substr(consumed_ + kHeaderSize, length - kHeaderSize);
        consumed_ += length;
        if (partial_ && partial_->type != type) {
            partial_.reset();
        }
        if (!partial_) {
            partial_ = Message{type, {}};
        }
        if (partial_->payload.size() + body.size() > maxMessageBytes_) {
            throw ProtocolError("message too large");
        }
        partial_->payload.append(body);
        if (status & kStatusEom) {
            std::optional<Message> done = std::move(partial_);
            partial_.reset();
            if (status & kStatusIgnore) {
                continue;
            }
            if (consumed_ == buffer_.size()) {
                buffer_.clear();
                consumed_ = 0;
            }
            return done;
        }
    }
    // Keep the buffer from growing without bound on a long stream of packets.
    if (consumed_ > 0 && consumed_ * 2 > buffer_.size()) {
        buffer_.erase(0, consumed_);
        consumed_ = 0;
    }
    return std::nullopt;
}

void appendPackets(std::string& out, std::uint8_t type, std::string_view payload,
                   std::size_t packetSize, std::uint16_t spid, std::uint8_t& packetId) {
    const std::size_t chunk = packetSize - kHeaderSize;
    std::size_t pos = 0;
    out.reserve(out.size() + payload.size() + (payload.size() / chunk + 1) * kHeaderSize);
    ByteWriter w(out);
    do {
        std::size_t n = std::min(chunk, payload.size() - pos);
        bool last = pos + n == payload.size();
        w.u8(type);
        w.u8(last ? kStatusEom : 0);
        w.u16be(static_cast<std::uint16_t>(n + kHeaderSize));
        w.u16be(spid);
        w.u8(packetId++);
        w.u8(0);
        w.bytes(payload.substr(pos, n));
        pos += n;
    } while (pos < payload.size());
}

} // namespace tdssim
