#include "Login7.h"

#include "Bytes.h"

#include <cstdio>

namespace tdssim {

namespace {

struct Field {
    std::uint16_t offset;
    std::uint16_t chars;
};

Field readField(ByteReader& r) {
    Field f;
    f.offset = r.u16le();
    f.chars = r.u16le();
    return f;
}

std::string_view fieldBytes(std::string_view payload, Field f) {
    std::size_t bytes = static_cast<std::size_t>(f.chars) * 2;
    if (f.chars == 0) {
        return {};
    }
    if (static_cast<std::size_t>(f.offset) + bytes > payload.size()) {
        throw ProtocolError("LOGIN7 field outside the packet");
    }
    return payload.substr(f.offset, bytes);
}

std::string fieldText(std::string_view payload, Field f) {
    return ucs2ToUtf8(fieldBytes(payload, f));
}

std::string decodePassword(std::string_view obfuscated) {
    std::string plain(obfuscated);
    for (char& c : plain) {
        auto x = static_cast<std::uint8_t>(static_cast<std::uint8_t>(c) ^ 0xA5);
        c = static_cast<char>(static_cast<std::uint8_t>((x << 4) | (x >> 4)));
    }
    return ucs2ToUtf8(plain);
}

} // namespace

Login7 parseLogin7(std::string_view payload) {
    constexpr std::size_t kFixed71 = 86; // the fixed part before 7.2 has no change-password field
    if (payload.size() < kFixed71) {
        throw ProtocolError("LOGIN7 shorter than its fixed part");
    }
    ByteReader r(payload);
    Login7 login;
    r.u32le(); // total length; the packet's own length is what counts
    login.tdsVersion = r.u32le();
    login.packetSize = r.u32le();
    r.u32le(); // client program version
    login.clientPid = r.u32le();
    r.u32le(); // connection id
    r.u8();    // OptionFlags1
    auto flags2 = r.u8();
    r.u8();    // TypeFlags
    r.u8();    // OptionFlags3
    r.u32le(); // time zone
    r.u32le(); // LCID
    Field host = readField(r);
    Field user = readField(r);
    Field password = readField(r);
    Field app = readField(r);
    Field server = readField(r);
    readField(r); // extension
    Field library = readField(r);
    Field language = readField(r);
    Field database = readField(r);
    login.integratedSecurity = (flags2 & 0x80) != 0;
    login.hostName = fieldText(payload, host);
    login.userName = fieldText(payload, user);
    login.password = decodePassword(fieldBytes(payload, password));
    login.appName = fieldText(payload, app);
    login.serverName = fieldText(payload, server);
    login.libraryName = fieldText(payload, library);
    login.language = fieldText(payload, language);
    login.database = fieldText(payload, database);
    return login;
}

std::uint32_t agreedTdsVersion(std::uint32_t clientVersion) {
    static constexpr std::uint32_t kKnown[] = {0x74000004u, 0x730B0003u, 0x730A0003u, 0x72090002u,
                                               0x71000001u, 0x71000000u, 0x70000000u};
    if (clientVersion == 0x07000000u) {
        return 0x70000000u; // LOGINACK's spelling, sent by a few clients
    }
    if (clientVersion == 0x07010000u) {
        return 0x71000001u;
    }
    if (clientVersion < 0x70000000u) {
        return 0x74000004u; // TDS 8 (0x08000000) and anything unknown: the newest 7.x
    }
    for (std::uint32_t v : kKnown) {
        if (clientVersion >= v) {
            return v;
        }
    }
    return 0x74000004u;
}

std::uint32_t loginAckVersion(std::uint32_t agreed) {
    switch (agreed) {
    case 0x70000000u:
        return 0x07000000u;
    case 0x71000000u:
        return 0x07010000u;
    default:
        return agreed;
    }
}

std::string tdsVersionName(std::uint32_t version) {
    switch (version) {
    case 0x74000004:
        return "7.4";
    case 0x730B0003:
        return "7.3B";
    case 0x730A0003:
        return "7.3A";
    case 0x72090002:
        return "7.2";
    case 0x71000001:
        return "7.1";
    case 0x71000000:
        return "7.1";
    case 0x07010000:
        return "7.1";
    case 0x70000000:
        return "7.0";
    default: {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%08X", version);
        return buf;
    }
    }
}

} // namespace tdssim
