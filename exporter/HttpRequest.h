// The head of one HTTP/1.x request (request line and headers), parsed from the bytes a
// connection has received so far. Nothing here touches a socket.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct THttpRequest {
    std::string Method;
    std::string Target;  // as sent, query included
    std::string Version; // "HTTP/1.1", "HTTP/1.0"
    std::vector<std::pair<std::string, std::string>> Headers;

    // The value of the first header of that name (letter case ignored); empty when none.
    std::string Header(std::string_view name) const;
    bool HasHeader(std::string_view name) const;
    // The target without its query ("/metrics?x=1" is "/metrics").
    std::string Path() const;
    // The connection stays open after the answer: HTTP/1.1 unless "Connection: close",
    // HTTP/1.0 only with "Connection: keep-alive".
    bool KeepAlive() const;
};

enum class THeadStatus {
    Incomplete, // more bytes are needed
    Complete,   // request parsed; Consumed says how many bytes it took
    TooLarge,   // no end of the head within the limit
    Bad,        // not an HTTP/1.x request head
};

struct THeadParse {
    THeadStatus Status = THeadStatus::Incomplete;
    std::size_t Consumed = 0;
    THttpRequest Request;
};

// Parses a request head at the start of the buffer. The head (request line, headers and the
// empty line) may take at most limit bytes. Lines end with CR LF or a bare LF.
THeadParse ParseRequestHead(std::string_view buffer, std::size_t limit);
