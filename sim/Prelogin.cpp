#include "Prelogin.h"

#include "Bytes.h"

namespace tdssim {

PreloginRequest parsePrelogin(std::string_view payload) {
    PreloginRequest req;
    ByteReader table(payload);
    for (int entries = 0;; ++entries) {
        if (entries > 64) {
            throw ProtocolError("PRELOGIN option table too long");
        }
        std::uint8_t token = table.u8();
        if (token == 0xFF) {
            break;
        }
        std::uint16_t offset = table.u16be();
        std::uint16_t length = table.u16be();
        if (static_cast<std::size_t>(offset) + length > payload.size()) {
            throw ProtocolError("PRELOGIN option outside the packet");
        }
        std::string_view data = payload.substr(offset, length);
        switch (token) {
        case 0x01:
            if (!data.empty()) {
                req.encryption = static_cast<std::uint8_t>(data[0]);
            }
            break;
        case 0x02: {
            std::size_t nul = data.find('\0');
            req.instance = std::string(data.substr(0, nul));
            break;
        }
        case 0x04:
            req.mars = !data.empty() && data[0] != 0;
            break;
        default:
            break; // unknown options are skipped, as the protocol asks
        }
    }
    return req;
}

std::optional<EncryptionMode> parseEncryptionMode(std::string_view text) {
    if (text == "off") {
        return EncryptionMode::Off;
    }
    if (text == "login") {
        return EncryptionMode::Login;
    }
    if (text == "on") {
        return EncryptionMode::On;
    }
    if (text == "required") {
        return EncryptionMode::Required;
    }
    return std::nullopt;
}

const char* encryptionModeName(EncryptionMode mode) {
    switch (mode) {
    case EncryptionMode::Off:
        return "off";
    case EncryptionMode::Login:
        return "login";
    case EncryptionMode::On:
        return "on";
    case EncryptionMode::Required:
        return "required";
    }
    return "?";
}

EncryptionDecision negotiateEncryption(EncryptionMode mode, std::optional<std::uint8_t> client) {
    using Outcome = EncryptionDecision::Outcome;
    // Newer clients set flag bits above the low nibble (a client certificate); anything
    // unknown counts as "cannot encrypt".
    std::uint8_t c = client ? static_cast<std::uint8_t>(*client & 0x0F) : Encrypt::NotSup;
    if (c > Encrypt::Req) {
        c = Encrypt::NotSup;
    }
    const bool clientCannot = c == Encrypt::NotSup;
    switch (mode) {
    case EncryptionMode::Off:
        return {Encrypt::NotSup, Outcome::Clear};
    case EncryptionMode::Login:
        if (clientCannot) {
            return {Encrypt::NotSup, Outcome::Clear};
        }
        if (c == Encrypt::Off) {
            return {Encrypt::Off, Outcome::LoginOnly};
        }
        return {Encrypt::On, Outcome::Everything};
    case EncryptionMode::On:
        if (clientCannot) {
            return {Encrypt::NotSup, Outcome::Clear};
        }
        return {Encrypt::On, Outcome::Everything};
    case EncryptionMode::Required:
        return {Encrypt::Req, clientCannot ? Outcome::Refuse : Outcome::Everything};
    }
    return {};
}

std::string buildPreloginReply(std::uint8_t encryption) {
    std::string out;
    ByteWriter w(out);
    auto entry = [&](std::uint8_t token, std::uint16_t offset, std::uint16_t length) {
        w.u8(token);
        w.u16be(offset);
        w.u16be(length);
    };
    entry(0x00, 0x1A, 6); // VERSION
    entry(0x01, 0x20, 1); // ENCRYPTION
    entry(0x02, 0x21, 1); // INSTOPT
    entry(0x03, 0x22, 0); // THREADID
    entry(0x04, 0x22, 1); // MARS
    w.u8(0xFF);
    w.u8(15); // 15.0.2000.0
    w.u8(0);
    w.u16be(2000);
    w.u16be(0);
    w.u8(encryption);
    w.u8(0x00); // instance name: none
    w.u8(0x00); // MARS off
    return out;
}

} // namespace tdssim
