#include "Exposition.h"

#include <QString>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

bool EqualFolded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

// One media range of an Accept header: its type and the two parameters we look at.
struct TMediaRange {
    std::string_view Type;
    std::string_view Version;
    double Quality = 1.0;
};

TMediaRange ParseMediaRange(std::string_view text) {
    TMediaRange range;
    std::size_t semi = text.find(';');
    range.Type = Trim(text.substr(0, semi));
    while (semi != std::string_view::npos) {
        text.remove_prefix(semi + 1);
        semi = text.find(';');
        const std::string_view param = Trim(text.substr(0, semi));
        const std::size_t eq = param.find('=');
        if (eq == std::string_view::npos) {
            continue;
        }
        const std::string_view name = Trim(param.substr(0, eq));
        std::string_view value = Trim(param.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (EqualFolded(name, "version")) {
            range.Version = value;
        } else if (EqualFolded(name, "q")) {
            double q = 0;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), q);
            range.Quality = ec == std::errc() && end == value.data() + value.size() ? q : 0.0;
        }
    }
    return range;
}

// The length of the well-formed UTF-8 sequence at text[at], or 0 when there is none (a stray
// continuation byte, a cut sequence, an overlong form, a surrogate, beyond U+10FFFF).
std::size_t Utf8SequenceLength(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf; // allowed range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xbf) {
            return 0;
        }
    }
    return length;
}

void AppendEscaped(std::string& out, const std::string& text, bool quotes) {
    for (const char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '"' && quotes) {
            out += "\\\"";
        } else {
            out += c;
        }
    }
}

// The text format knows no info type; an info is a gauge there.
const char* TypeName(TMetricType type, bool openMetrics) {
    switch (type) {
    case TMetricType::Counter:
        return "counter";
    case TMetricType::Info:
        return openMetrics ? "info" : "gauge";
    case TMetricType::Gauge:
        break;
    }
    return "gauge";
}

// The name OpenMetrics gives a family: it drops the "_total" of a counter's samples and the
// "_info" of an info's.
std::string OpenMetricsFamilyName(const TMetricFamily& family) {
    const std::string_view suffix = family.Type == TMetricType::Counter ? "_total"
                                    : family.Type == TMetricType::Info  ? "_info"
                                                                        : "";
    if (!suffix.empty() && family.Name.ends_with(suffix)) {
        return family.Name.substr(0, family.Name.size() - suffix.size());
    }
    return family.Name;
}

void AppendSample(std::string& out, const std::string& name, const TMetricSample& sample) {
    out += name;
    if (!sample.Labels.empty()) {
        out += '{';
        bool first = true;
        for (const auto& [label, value] : sample.Labels) {
            if (!first) {
                out += ',';
            }
            first = false;
            out += label;
            out += "=\"";
            out += EscapeLabelValue(value);
            out += '"';
        }
        out += '}';
    }
    out += ' ';
    out += FormatSampleValue(sample.Value);
    out += '\n';
}

} // namespace

TExpositionFormat FormatForAccept(const std::string& accept) {
    double openMetrics = 0;
    double text = 0;
    std::string_view rest = accept;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const TMediaRange range = ParseMediaRange(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (EqualFolded(range.Type, "application/openmetrics-text")) {
            if (range.Version.empty() || range.Version == "1.0.0" || range.Version == "0.0.1") {
                openMetrics = std::max(openMetrics, range.Quality);
            }
        } else if (EqualFolded(range.Type, "text/plain") || EqualFolded(range.Type, "*/*") ||
                   EqualFolded(range.Type, "text/*")) {
            text = std::max(text, range.Quality);
        }
    }
    return openMetrics > 0 && openMetrics >= text ? TExpositionFormat::OpenMetrics
                                                  : TExpositionFormat::Text004;
}

const char* ContentTypeOf(TExpositionFormat format) {
    return format == TExpositionFormat::OpenMetrics
               ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
               : "text/plain; version=0.0.4; charset=utf-8";
}

std::string EscapeLabelValue(const std::string& value) {
    // Server names are mostly plain ASCII: those need no work.
    if (std::all_of(value.begin(), value.end(),
                    [](char c) { return c >= 0x20 && c < 0x7f && c != '\\' && c != '"'; })) {
        return value;
    }
    // A byte that is not UTF-8 becomes U+FFFD with its value, "\uFFFD<FF>", and a U+FFFD of the
    // name itself "\uFFFD<FFFD>": two names that differ only in such bytes stay two series.
    static const char replacement[] = "\xef\xbf\xbd";
    static const char hex[] = "0123456789ABCDEF";
    std::string valid;
    valid.reserve(value.size());
    for (std::size_t i = 0; i < value.size();) {
        const std::size_t length = Utf8SequenceLength(value, i);
        if (length == 0) {
            const auto byte = static_cast<unsigned char>(value[i]);
            valid += replacement;
            valid += '<';
            valid += hex[byte >> 4];
            valid += hex[byte & 0xf];
            valid += '>';
            ++i;
            continue;
        }
        if (value.compare(i, length, replacement) == 0) {
            valid += replacement;
            valid += "<FFFD>";
        } else {
            valid.append(value, i, length);
        }
        i += length;
    }
    std::string out;
    out.reserve(valid.size());
    AppendEscaped(out, valid, true);
    return out;
}

std::string FormatSampleValue(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "+Inf" : "-Inf";
    }
    char buffer[64];
    std::to_chars_result result{};
    if (value == std::trunc(value) && std::fabs(value) < 9007199254740992.0) {
        result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(value));
    } else {
        result = std::to_chars(buffer, buffer + sizeof buffer, value);
    }
    return std::string(buffer, result.ptr);
}

std::string WriteExposition(const std::vector<TMetricFamily>& families, TExpositionFormat format) {
    std::string out;
    const bool om = format == TExpositionFormat::OpenMetrics;
    for (const TMetricFamily& family : families) {
        const std::string name = om ? OpenMetricsFamilyName(family) : family.Name;
        if (om) {
            out += "# TYPE " + name + ' ' + TypeName(family.Type, om) + '\n';
            if (!family.Unit.empty()) {
                out += "# UNIT " + name + ' ' + family.Unit + '\n';
            }
            out += "# HELP " + name + ' ';
            AppendEscaped(out, family.Help, true);
            out += '\n';
        } else {
            out += "# HELP " + name + ' ';
            AppendEscaped(out, family.Help, false);
            out += '\n';
            out += "# TYPE " + name + ' ' + TypeName(family.Type, om) + '\n';
        }
        for (const TMetricSample& sample : family.Samples) {
            AppendSample(out, family.Name, sample);
        }
    }
    if (om) {
        out += "# EOF\n";
    }
    return out;
}
