#include "HttpRequest.h"

namespace {

char Fold(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool EqualFolded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Fold(a[i]) != Fold(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

// A header or method name: RFC 9110 token characters.
bool IsToken(std::string_view s) {
    if (s.empty()) {
        return false;
    }
    for (const char c : s) {
        const bool alnum =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum && std::string_view("!#$%&'*+-.^_`|~").find(c) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

bool HasControl(std::string_view s) {
    for (const char c : s) {
        if ((static_cast<unsigned char>(c) < 32 && c != '\t') || c == 127) {
            return true;
        }
    }
    return false;
}

bool ParseRequestLine(std::string_view line, THttpRequest& request) {
    const std::size_t first = line.find(' ');
    const std::size_t last = line.rfind(' ');
    if (first == std::string_view::npos || first == last) {
        return false;
    }
    const std::string_view method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, last - first - 1);
    const std::string_view version = line.substr(last + 1);
    if (!IsToken(method) || target.empty() || target.find(' ') != std::string_view::npos ||
        HasControl(target) || (version != "HTTP/1.1" && version != "HTTP/1.0")) {
        return false;
    }
    request.Method = method;
    request.Target = target;
    request.Version = version;
    return true;
}

} // namespace

std::string THttpRequest::Header(std::string_view name) const {
    for (const auto& [key, value] : Headers) {
        if (EqualFolded(key, name)) {
            return value;
        }
    }
    return {};
}

bool THttpRequest::HasHeader(std::string_view name) const {
    for (const auto& header : Headers) {
        if (EqualFolded(header.first, name)) {
            return true;
        }
    }
    return false;
}

std::string THttpRequest::Path() const {
    return Target.substr(0, Target.find('?'));
}

bool THttpRequest::KeepAlive() const {
    const std::string connection = Header("Connection");
    if (Version == "HTTP/1.0") {
        return EqualFolded(TrimBlanks(connection), "keep-alive");
    }
    return !EqualFolded(TrimBlanks(connection), "close");
}

THeadParse ParseRequestHead(std::string_view buffer, std::size_t limit) {
    THeadParse result;
    std::size_t pos = 0;
    bool first = true;
    for (;;) {
        const std::size_t lf = buffer.find('\n', pos);
        if (lf == std::string_view::npos || lf >= limit) {
            result.Status =
                buffer.size() >= limit ? THeadStatus::TooLarge : THeadStatus::Incomplete;
            return result;
        }
        std::string_view line = buffer.substr(pos, lf - pos);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        pos = lf + 1;
        if (first) {
            // Empty lines before a request line are tolerated, as RFC 9112 asks.
            if (line.empty()) {
                continue;
            }
            if (!ParseRequestLine(line, result.Request)) {
                result.Status = THeadStatus::Bad;
                return result;
            }
            first = false;
            continue;
        }
        if (line.empty()) {
            result.Status = THeadStatus::Complete;
            result.Consumed = pos;
            return result;
        }
        const std::size_t colon = line.find(':');
        // No folded continuation lines, no blank before the colon (RFC 9112 forbids both).
        if (colon == std::string_view::npos || !IsToken(line.substr(0, colon)) ||
            HasControl(line.substr(colon + 1))) {
            result.Status = THeadStatus::Bad;
            return result;
        }
        result.Request.Headers.emplace_back(line.substr(0, colon),
                                            TrimBlanks(line.substr(colon + 1)));
    }
}
