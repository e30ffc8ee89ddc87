// PRELOGIN: the client's option table and the server's answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tdssim {

struct PreloginRequest {
    std::optional<std::uint8_t> encryption;
    std::string instance;
    bool mars = false;
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

// The reply payload with the given ENCRYPTION byte.
std::string buildPreloginReply(std::uint8_t encryption);

} // namespace tdssim
