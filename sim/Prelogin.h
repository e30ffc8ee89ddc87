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

// The reply payload. Encryption is always NOT_SUP until TLS exists: clients set to
// "off" or "request" then go on in the clear.
std::string buildPreloginReply();

} // namespace tdssim
