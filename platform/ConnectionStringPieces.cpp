#include "ConnectionStringPieces.h"

#include <algorithm>
#include <vector>

namespace {

// Characters with codes 32 or less are blanks here.
std::string TrimBlanks(const std::string& s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 32) {
        ++b;
    }
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) {
        --e;
    }
    return s.substr(b, e - b);
}

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto fold = [](char c) {
                   return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
               };
               return fold(x) == fold(y);
           });
}

// Pieces between ";", each trimmed, empty ones kept. Quotes mean nothing here.
std::vector<std::string> Pieces(const std::string& s) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t semicolon = s.find(';', start);
        if (semicolon == std::string::npos) {
            pieces.push_back(TrimBlanks(s.substr(start)));
            return pieces;
        }
        pieces.push_back(TrimBlanks(s.substr(start, semicolon - start)));
        start = semicolon + 1;
    }
}

} // namespace

std::string ConnectionStringValue(const std::string& connectionString, const std::string& name) {
    for (const std::string& piece : Pieces(connectionString)) {
        const std::size_t equals = piece.find('=');
        if (equals == std::string::npos) {
            continue; // a piece without "=" names nothing
        }
        if (SameText(piece.substr(0, equals), name)) {
            return TrimBlanks(piece.substr(equals + 1));
        }
    }
    return {};
}

bool UsesIntegratedSecurity(const std::string& connectionString) {
    return SameText(ConnectionStringValue(connectionString, "Integrated Security"), "SSPI");
}

std::optional<std::string> DataLinkFilePath(const std::string& connectionString) {
    // Exactly "FILE NAME=" at the very start: no blanks before it or around "=".
    if (connectionString.size() >= 10 && SameText(connectionString.substr(0, 10), "FILE NAME=")) {
        return connectionString.substr(10, 260);
    }
    return std::nullopt;
}
