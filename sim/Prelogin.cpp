#include "Prelogin.h"

#include "Bytes.h"

#include <algorithm>

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
        if (std::find(req.options.begin(), req.options.end(), token) == req.options.end()) {
            req.options.push_back(token);
        }
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
        // A server forcing encryption tells a client that asked for none that it is
        // required, and ends the connection of one that cannot encrypt.
        if (clientCannot) {
            return {Encrypt::Req, Outcome::Refuse};
        }
        return {c == Encrypt::Off ? Encrypt::Req : Encrypt::On, Outcome::Everything};
    case EncryptionMode::Required:
        return {Encrypt::Req, clientCannot ? Outcome::Refuse : Outcome::Everything};
    }
    return {};
}

std::string buildPreloginReply(std::uint8_t encryption,
                               const std::vector<std::uint8_t>& clientOptions) {
    namespace Opt = PreloginOption;
    // TRACEID and unknown tokens are the client's business: a server does not echo them.
    std::vector<std::uint8_t> tokens{Opt::Version};
    const std::vector<std::uint8_t> all{Opt::Version, Opt::Encryption, Opt::InstOpt, Opt::ThreadId,
                                        Opt::Mars};
    for (std::uint8_t t : clientOptions.empty() ? all : clientOptions) {
        const bool answered = t == Opt::Encryption || t == Opt::InstOpt || t == Opt::ThreadId ||
                              t == Opt::Mars || t == Opt::FedAuthRequired;
        if (answered && std::find(tokens.begin(), tokens.end(), t) == tokens.end()) {
            tokens.push_back(t);
        }
    }
    std::string data;
    ByteWriter d(data);
    std::vector<std::pair<std::uint16_t, std::uint16_t>> places;
    for (std::uint8_t t : tokens) {
        const std::size_t at = data.size();
        switch (t) {
        case Opt::Version: // 15.0.2000.0
            d.u8(15);
            d.u8(0);
            d.u16be(2000);
            d.u16be(0);
            break;
        case Opt::Encryption:
            d.u8(encryption);
            break;
        case Opt::InstOpt:
            d.u8(0x00); // the instance name matched (there is only the default one)
            break;
        case Opt::ThreadId:
            break; // empty in a server's answer
        default:
            d.u8(0x00); // MARS off; no federated authentication wanted
            break;
        }
        places.emplace_back(static_cast<std::uint16_t>(at),
                            static_cast<std::uint16_t>(data.size() - at));
    }
    const std::size_t tableSize = tokens.size() * 5 + 1;
    std::string out;
    ByteWriter w(out);
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        w.u8(tokens[i]);
        w.u16be(static_cast<std::uint16_t>(tableSize + places[i].first));
        w.u16be(places[i].second);
    }
    w.u8(0xFF);
    out += data;
    return out;
}

} // namespace tdssim
