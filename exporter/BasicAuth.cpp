#include "BasicAuth.h"

#include "Errors.h"

#include <QByteArray>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

TBasicAuth::TBasicAuth(std::string user, std::string password)
    : Expected(std::move(user) + ":" + std::move(password)) {}

std::string TBasicAuth::ReadPasswordFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw Exception("Cannot open the password file \"" + path + "\": " + std::strerror(errno));
    }
    std::string line;
    std::getline(file, line);
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line.empty()) {
        throw Exception("The password file \"" + path + "\" holds no password on its first line");
    }
    return line;
}

bool TBasicAuth::Accepts(std::string_view authorization) const {
    while (!authorization.empty() && authorization.front() == ' ') {
        authorization.remove_prefix(1);
    }
    const std::size_t space = authorization.find(' ');
    if (space == std::string_view::npos) {
        return false;
    }
    std::string scheme(authorization.substr(0, space));
    for (char& c : scheme) {
        c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    }
    if (scheme != "basic") {
        return false;
    }
    std::string_view encoded = authorization.substr(space + 1);
    while (!encoded.empty() && encoded.front() == ' ') {
        encoded.remove_prefix(1);
    }
    while (!encoded.empty() && encoded.back() == ' ') {
        encoded.remove_suffix(1);
    }
    const auto decoded =
        QByteArray::fromBase64Encoding(QByteArray(encoded.data(), qsizetype(encoded.size())),
                                       QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        return false;
    }
    return ConstantTimeEqual(
        std::string_view(decoded.decoded.constData(), std::size_t(decoded.decoded.size())),
        Expected);
}

bool ConstantTimeEqual(std::string_view a, std::string_view b) {
    // Every byte of the longer one is looked at whatever differs; the lengths join the result.
    const std::size_t n = std::max(a.size(), b.size());
    volatile unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        diff = diff | static_cast<unsigned char>(x ^ y);
    }
    return diff == 0;
}
