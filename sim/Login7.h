// LOGIN7: what a client tells about itself and its credentials.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tdssim {

struct Login7 {
    std::uint32_t tdsVersion = 0; // as sent, e.g. 0x74000004 for 7.4
    std::uint32_t packetSize = 0;
    std::uint32_t clientPid = 0;
    std::string hostName;
    std::string userName;
    std::string password; // de-obfuscated
    std::string appName;
    std::string serverName;
    std::string libraryName;
    std::string language;
    std::string database;
    bool integratedSecurity = false;
};

// Throws ProtocolError when a field points outside the payload.
Login7 parseLogin7(std::string_view payload);

// The version the session speaks for a client's LOGIN7 version, in LOGIN7's form: the
// highest version the server knows that is not newer than the client's.
std::uint32_t agreedTdsVersion(std::uint32_t clientVersion);

// The same version as LOGINACK spells it (7.0 and 7.1 have forms of their own there).
std::uint32_t loginAckVersion(std::uint32_t agreed);

// "7.4", "7.3B", ... for the log; the hex value for anything unknown.
std::string tdsVersionName(std::uint32_t version);

} // namespace tdssim
