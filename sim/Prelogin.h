// PRELOGIN: the client's option table and the server's answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tdssim {

namespace PreloginOption {
constexpr std::uint8_t Version = 0x00;
constexpr std::uint8_t Encryption = 0x01;
constexpr std::uint8_t InstOpt = 0x02;
constexpr std::uint8_t ThreadId = 0x03;
constexpr std::uint8_t Mars = 0x04;
constexpr std::uint8_t TraceId = 0x05;
constexpr std::uint8_t FedAuthRequired = 0x06;
} // namespace PreloginOption

struct PreloginRequest {
    std::optional<std::uint8_t> encryption;
    std::string instance;
    bool mars = false;
    // The option tokens in the client's order, each once: the answer follows this table.
    std::vector<std::uint8_t> options;
};

// Throws ProtocolError when the option table points outside the payload.
PreloginRequest parsePrelogin(std::string_view payload);

// The ENCRYPTION byte of PRELOGIN.
namespace Encrypt {
constexpr std::uint8_t Off = 0x00;    // available, wanted for the login only
constexpr std::uint8_t On = 0x01;     // wanted for everything
constexpr std::uint8_t NotSup = 0x02; // not available
constexpr std::uint8_t Req = 0x03;    // demanded
} // namespace Encrypt

// What the server is set up for: off (no certificate), login (a certificate, encryption
// as the client asks), on (everything encrypted for every client that can), required
// (everything encrypted, clients that cannot are refused).
enum class EncryptionMode { Off, Login, On, Required };

std::optional<EncryptionMode> parseEncryptionMode(std::string_view text);
const char* encryptionModeName(EncryptionMode mode);

struct EncryptionDecision {
    enum class Outcome { Clear, LoginOnly, Everything, Refuse };
    std::uint8_t answer = Encrypt::NotSup;
    Outcome outcome = Outcome::Clear;
};

// The server's answer to the client's ENCRYPTION byte (absent: NOT_SUP), as a real server
// gives it, and what follows from the pair.
EncryptionDecision negotiateEncryption(EncryptionMode mode, std::optional<std::uint8_t> client);

// The reply payload with the given ENCRYPTION byte. It carries the options of the client's
// table that a server answers, in the client's order (clients may read the answer at the
// offsets of their own layout); VERSION always comes first. No options: the full set.
std::string buildPreloginReply(std::uint8_t encryption,
                               const std::vector<std::uint8_t>& clientOptions = {});

} // namespace tdssim
