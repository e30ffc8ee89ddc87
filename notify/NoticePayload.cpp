#include "NoticePayload.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

namespace {

// Decodes one UTF-8 sequence at text[i]; a bad one gives U+FFFD and consumes one byte.
char32_t NextCodePoint(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int length = 0;
    char32_t cp = 0;
    if ((b0 & 0xE0) == 0xC0) {
        length = 2;
        cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3;
        cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4;
        cp = b0 & 0x07;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (i + static_cast<std::size_t>(length) > text.size()) {
        ++i;
        return 0xFFFD;
    }
    for (int k = 1; k < length; ++k) {
        const unsigned char b = byte(i + static_cast<std::size_t>(k));
        if ((b & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return 0xFFFD;
    }
    i += static_cast<std::size_t>(length);
    return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool IsBidiControl(char32_t cp) {
    return cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

std::string Seconds(std::int64_t ms) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", static_cast<double>(ms) / 1000.0);
    return buffer;
}

std::string JsonSeconds(const std::optional<std::int64_t>& ms) {
    if (!ms)
        return "null";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f", static_cast<double>(*ms) / 1000.0);
    return buffer;
}

template <class T>
std::string JsonNumber(const std::optional<T>& value) {
    return value ? std::to_string(*value) : "null";
}

// The fields as the notice carries them, cleaned once.
struct TClean {
    std::string Server, Login, Host, Program, Statement;
};
TClean Cleaned(const TNotice& n) {
    return {CleanServerText(n.Server, 128), CleanServerText(n.Login, 128),
            CleanServerText(n.Host, 128), CleanServerText(n.Program, 128),
            CleanServerText(n.Statement, 200)};
}

std::string EventTitle(const std::string& event) {
    if (event == "blocking")
        return "Blocking";
    if (event == "cleared")
        return "Blocking cleared";
    if (event == "deadlock")
        return "Deadlock";
    return "Test notice";
}

// Slack reads &, < and > as its own markup.
std::string SlackEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out += c;
    }
    return out;
}

// Teams renders a subset of Markdown in card text; server text must not become links or
// emphasis.
std::string MarkdownEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::string_view("\\*_[]()`~#<>!|").find(c) != std::string_view::npos)
            out += '\\';
        out += c;
    }
    return out;
}

std::string Base64(std::string_view data) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        const auto v = static_cast<std::uint32_t>(static_cast<unsigned char>(data[i]) << 16 |
                                                  static_cast<unsigned char>(data[i + 1]) << 8 |
                                                  static_cast<unsigned char>(data[i + 2]));
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += kDigits[(v >> 6) & 63];
        out += kDigits[v & 63];
    }
    if (i < data.size()) {
        std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(data[i]) << 16);
        if (i + 1 < data.size())
            v |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[i + 1]) << 8);
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < data.size() ? kDigits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> Facts(const TNotice& n, const TClean& c) {
    std::vector<std::pair<std::string, std::string>> facts;
    facts.emplace_back("Server", c.Server);
    if (n.HeadSpid)
        facts.emplace_back("Head blocker", "SPID " + std::to_string(*n.HeadSpid));
    if (n.VictimSpid)
        facts.emplace_back("Victim", "SPID " + std::to_string(*n.VictimSpid));
    if (!n.Survivors.empty()) {
        std::string spids;
        for (std::int32_t s : n.Survivors)
            spids.append(spids.empty() ? "SPID " : ", ").append(std::to_string(s));
        facts.emplace_back("Went on", spids);
    }
    if (!c.Login.empty())
        facts.emplace_back("Login", c.Login);
    if (!c.Host.empty())
        facts.emplace_back("Host", c.Host);
    if (!c.Program.empty())
        facts.emplace_back("Program", c.Program);
    if (!c.Statement.empty())
        facts.emplace_back("Statement", c.Statement);
    if (n.Blocked)
        facts.emplace_back("Blocked", std::to_string(*n.Blocked));
    if (n.LongestWaitMs)
        facts.emplace_back("Longest wait", Seconds(*n.LongestWaitMs) + " s");
    if (n.SummedWaitMs)
        facts.emplace_back("Summed wait", Seconds(*n.SummedWaitMs) + " s");
    facts.emplace_back("Time", IsoUtcTime(n.TimeMs));
    return facts;
}

} // namespace

std::optional<TWebhookFormat> WebhookFormatFromName(const std::string& name) {
    std::string lower;
    for (char c : name)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "json" || lower.empty())
        return TWebhookFormat::Json;
    if (lower == "slack")
        return TWebhookFormat::Slack;
    if (lower == "teams")
        return TWebhookFormat::Teams;
    return std::nullopt;
}

std::string CleanServerText(std::string_view text, std::size_t maxChars) {
    std::string out;
    std::size_t chars = 0;
    bool blank = true; // no blank at the start
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t cp = NextCodePoint(text, i);
        if (cp == '\t' || cp == '\n' || cp == '\r' || cp == ' ' || cp == 0x85 || cp == 0x2028 ||
            cp == 0x2029) {
            if (blank)
                continue;
            cp = ' ';
            blank = true;
        } else {
            if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || IsBidiControl(cp))
                cp = 0xFFFD;
            blank = false;
        }
        if (chars == maxChars) {
            // One more character: the text is cut.
            while (!out.empty() && out.back() == ' ')
                out.pop_back();
            out += "\u2026";
            return out;
        }
        AppendUtf8(out, cp);
        ++chars;
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    std::size_t i = 0;
    while (i < text.size()) {
        const char32_t cp = NextCodePoint(text, i);
        char escape[8];
        switch (cp) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (cp < 0x20 || cp == '<' || cp == '>' || cp == '&' || cp == 0x7F || cp == 0x2028 ||
                cp == 0x2029 || IsBidiControl(cp)) {
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(cp));
                out += escape;
            } else {
                AppendUtf8(out, cp);
            }
        }
    }
    return out + "\"";
}

std::string IsoUtcTime(std::int64_t msSince1970) {
    const std::time_t seconds = static_cast<std::time_t>(msSince1970 / 1000);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &seconds);
#else
    gmtime_r(&seconds, &tm);
#endif
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buffer;
}

std::string NoticeJson(const TNotice& n) {
    const TClean c = Cleaned(n);
    std::string json =
        "{\"event\":" + JsonString(n.Event) + ",\"server\":" + JsonString(c.Server) +
        ",\"head_spid\":" + JsonNumber(n.HeadSpid) + ",\"login\":" + JsonString(c.Login) +
        ",\"host\":" + JsonString(c.Host) + ",\"program\":" + JsonString(c.Program) +
        ",\"statement\":" + JsonString(c.Statement) + ",\"blocked\":" + JsonNumber(n.Blocked) +
        ",\"longest_wait_s\":" + JsonSeconds(n.LongestWaitMs) +
        ",\"summed_wait_s\":" + JsonSeconds(n.SummedWaitMs) +
        ",\"time\":" + JsonString(IsoUtcTime(n.TimeMs));
    if (n.Event == "deadlock") {
        json += ",\"victim_spid\":" + JsonNumber(n.VictimSpid) + ",\"survivors\":[";
        for (std::size_t i = 0; i < n.Survivors.size(); ++i) {
            if (i > 0)
                json += ',';
            json += std::to_string(n.Survivors[i]);
        }
        json += "]";
    }
    return json + "}";
}

std::string NoticeHeadline(const TNotice& n) {
    std::string line = EventTitle(n.Event) + " on " + CleanServerText(n.Server, 128);
    if (n.HeadSpid)
        line += ": head blocker SPID " + std::to_string(*n.HeadSpid);
    else if (n.VictimSpid)
        line += ": victim SPID " + std::to_string(*n.VictimSpid);
    return line;
}

std::string NoticeText(const TNotice& n) {
    std::string text = NoticeHeadline(n) + "\n";
    for (const auto& [name, value] : Facts(n, Cleaned(n)))
        if (name != "Server")
            text += name + ": " + value + "\n";
    return text;
}

std::string NoticeSlack(const TNotice& n) {
    const TClean c = Cleaned(n);
    std::string text = "*";
    text += SlackEscaped(NoticeHeadline(n));
    text += '*';
    for (const auto& [name, value] : Facts(n, c))
        if (name != "Server")
            text += "\n" + name + ": " + SlackEscaped(value);
    return "{\"text\":" + JsonString(text) + "}";
}

std::string NoticeTeams(const TNotice& n) {
    const TClean c = Cleaned(n);
    std::string facts;
    for (const auto& [name, value] : Facts(n, c))
        facts += std::string(facts.empty() ? "" : ",") + "{\"title\":" + JsonString(name) +
                 ",\"value\":" + JsonString(MarkdownEscaped(value)) + "}";
    return "{\"type\":\"message\",\"attachments\":[{\"contentType\":"
           "\"application/vnd.microsoft.card.adaptive\",\"contentUrl\":null,\"content\":{"
           "\"$schema\":\"http://adaptivecards.io/schemas/adaptive-card.json\","
           "\"type\":\"AdaptiveCard\",\"version\":\"1.2\",\"body\":["
           "{\"type\":\"TextBlock\",\"size\":\"Medium\",\"weight\":\"Bolder\",\"wrap\":true,"
           "\"text\":" +
           JsonString(MarkdownEscaped(NoticeHeadline(n))) + "},{\"type\":\"FactSet\",\"facts\":[" +
           facts + "]}]}}]}";
}

std::string NoticeBody(const TNotice& notice, TWebhookFormat format) {
    switch (format) {
    case TWebhookFormat::Slack:
        return NoticeSlack(notice);
    case TWebhookFormat::Teams:
        return NoticeTeams(notice);
    case TWebhookFormat::Json:
        break;
    }
    return NoticeJson(notice);
}

std::string NoticeMail(const TNotice& n, const std::string& from, const std::string& to,
                       std::int64_t nowMs) {
    const std::time_t seconds = static_cast<std::time_t>(nowMs / 1000);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &seconds);
#else
    gmtime_r(&seconds, &tm);
#endif
    char date[64];
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::snprintf(date, sizeof date, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[tm.tm_wday],
                  tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    // The display name is the user's, but it still goes in as an encoded word: no character
    // of it can end the header.
    const std::string subject = "Tallyvane: " + EventTitle(n.Event) + " on =?UTF-8?B?" +
                                Base64(CleanServerText(n.Server, 60)) + "?=";
    std::string mail = "Date: " + std::string(date) + "\r\nFrom: <" + from + ">\r\nTo: ";
    std::string recipients;
    std::string address;
    const auto flush = [&] {
        if (!address.empty())
            recipients.append(recipients.empty() ? "<" : ", <").append(address).append(">");
        address.clear();
    };
    for (char ch : to) {
        if (ch == ',' || ch == ';' || ch == ' ')
            flush();
        else
            address += ch;
    }
    flush();
    mail += recipients + "\r\nSubject: " + subject + "\r\nMessage-ID: <" + std::to_string(nowMs) +
            "." + std::to_string(std::hash<std::string>{}(NoticeJson(n)) % 1000000007u) +
            "@tallyvane.invalid>\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; "
            "charset=UTF-8\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    std::string text;
    for (char ch : NoticeText(n))
        text += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    const std::string body = Base64(text);
    for (std::size_t i = 0; i < body.size(); i += 76)
        mail += body.substr(i, 76) + "\r\n";
    return mail;
}
