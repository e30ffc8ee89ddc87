#include "NoticeUrl.h"

#include "Errors.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

struct TUrlParts {
    std::string Scheme, UserInfo, HostPort, Path, Query;
};

TUrlParts Split(const std::string& url) {
    TUrlParts parts;
    const std::size_t colon = url.find("://");
    if (colon == std::string::npos)
        return parts;
    parts.Scheme = Lower(url.substr(0, colon));
    std::string rest = url.substr(colon + 3);
    const std::size_t end = rest.find_first_of("/?#");
    std::string authority = rest.substr(0, end);
    rest = end == std::string::npos ? std::string() : rest.substr(end);
    if (const std::size_t at = authority.rfind('@'); at != std::string::npos) {
        parts.UserInfo = authority.substr(0, at);
        authority = authority.substr(at + 1);
    }
    parts.HostPort = authority;
    const std::size_t question = rest.find('?');
    parts.Path = rest.substr(0, question);
    if (question != std::string::npos)
        parts.Query = rest.substr(question + 1);
    return parts;
}

} // namespace

std::string CheckNoticeUrl(const std::string& url, TNoticeChannel channel) {
    const bool webhook = channel == TNoticeChannel::Webhook;
    const std::string what = webhook ? "The webhook URL" : "The SMTP URL";
    if (url.size() > 2048)
        return what + " is longer than 2048 characters";
    for (unsigned char c : url) {
        if (c == '\r' || c == '\n')
            return what + " contains a line break (CR or LF)";
        if (c < 0x20 || c == 0x7F)
            return what + " contains a control character";
        if (c == ' ')
            return what + " contains a blank";
    }
    const TUrlParts parts = Split(url);
    const bool allowed = webhook ? parts.Scheme == "http" || parts.Scheme == "https"
                                 : parts.Scheme == "smtp" || parts.Scheme == "smtps";
    if (!allowed)
        return what + (webhook ? " must begin with http:// or https://"
                               : " must begin with smtp:// or smtps://");
    if (parts.HostPort.empty() || parts.HostPort.front() == ':')
        return what + " names no host";
    return {};
}

std::string RedactedUrl(const std::string& url) {
    const TUrlParts parts = Split(url);
    if (parts.Scheme.empty())
        return "(no URL)";
    std::string host;
    for (char c : parts.HostPort)
        if (static_cast<unsigned char>(c) > 0x20 && c != 0x7F)
            host += c;
    const bool more = !parts.Path.empty() && parts.Path != "/";
    return parts.Scheme + "://" + host.substr(0, 255) + (more || !parts.Query.empty() ? "/…" : "");
}

std::string WebhookUrlWarning(const std::string& url) {
    const TUrlParts parts = Split(url);
    if (parts.Scheme != "http")
        return {};
    bool token = !parts.UserInfo.empty() || !parts.Query.empty();
    // Slack, Teams and most services put the token in the path: a long run of letters and
    // digits.
    std::size_t run = 0;
    for (char c : parts.Path) {
        run = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? run + 1 : 0;
        token = token || run >= 16;
    }
    if (!token)
        return {};
    return "This http:// webhook URL carries a token, which travels unencrypted: use https://";
}

std::string MailUrlWarning(const std::string& url, const std::string& password) {
    const TUrlParts parts = Split(url);
    if (password.empty() || parts.Scheme != "smtp")
        return {};
    return "smtp:// protects the password only once STARTTLS has begun (the program insists on "
           "it); smtps:// encrypts from the first byte";
}

std::vector<std::string> CheckMailAddresses(const std::string& list, const char* what) {
    std::vector<std::string> addresses;
    std::string address;
    const auto flush = [&] {
        if (address.empty())
            return;
        const std::size_t at = address.find('@');
        if (at == std::string::npos || at == 0 || at + 1 == address.size() || address.size() > 254)
            throw Exception(std::string(what) + ": \"" + address.substr(0, 64) +
                            "\" is no e-mail address");
        addresses.push_back(address);
        address.clear();
    };
    for (unsigned char c : list) {
        if (c == ',' || c == ';' || c == ' ') {
            flush();
        } else if (c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == '"' || c == '\\') {
            throw Exception(std::string(what) +
                            " contains a character that an e-mail address cannot hold");
        } else {
            address += static_cast<char>(c);
        }
    }
    flush();
    if (addresses.empty())
        throw Exception(std::string(what) + " holds no e-mail address");
    return addresses;
}
