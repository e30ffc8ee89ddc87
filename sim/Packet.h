// TDS packets: the 8-byte header, reassembling client messages from a byte stream and
// cutting server messages into packets of the negotiated size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tdssim {

namespace PacketType {
constexpr std::uint8_t SqlBatch = 0x01;
constexpr std::uint8_t Rpc = 0x03;
constexpr std::uint8_t Reply = 0x04;
constexpr std::uint8_t Attention = 0x06;
constexpr std::uint8_t TransactionManager = 0x0E;
constexpr std::uint8_t Login7 = 0x10;
constexpr std::uint8_t Prelogin = 0x12;
} // namespace PacketType

constexpr std::size_t kHeaderSize = 8;
constexpr std::uint8_t kStatusEom = 0x01;
constexpr std::uint8_t kStatusIgnore = 0x02;

// The packet types a client may send.
bool isClientPacketType(std::uint8_t type);

struct Message {
    std::uint8_t type = 0;
    std::string payload;
};

// Collects packets until one carries EOM. Packets of a different type than the message
// in progress start a new message (an attention can cut in).
class MessageAssembler {
public:
    explicit MessageAssembler(std::size_t maxMessageBytes = 64u << 20)
        : maxMessageBytes_(maxMessageBytes) {}

    void feed(std::string_view bytes) { buffer_.append(bytes); }
    // The next complete message, or nothing when more bytes are needed.
    // Throws ProtocolError on a header that cannot be valid.
    std::optional<Message> next();
    std::size_t buffered() const { return buffer_.size() - consumed_; }

private:
    std::string buffer_;
    std::size_t consumed_ = 0;
    std::optional<Message> partial_;
    std::size_t maxMessageBytes_;
};

// Cuts payload into packets of at most packetSize bytes (header included), EOM on the last.
void appendPackets(std::string& out, std::uint8_t type, std::string_view payload,
                   std::size_t packetSize, std::uint16_t spid, std::uint8_t& packetId);

} // namespace tdssim
