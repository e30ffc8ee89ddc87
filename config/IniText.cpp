#include "IniText.h"

#include "Errors.h"

#include <limits>

namespace {

bool IsBlank(std::string_view line) {
    return TrimIni(line).empty();
}

char FoldAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsSectionHeader(std::string_view trimmed) {
    return trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']';
}

void RequireOneLine(std::string_view text) {
    if (!TIniText::FitsOnOneLine(text))
        throw Exception("Text with a line break cannot be stored in an INI file");
}

} // namespace

std::string_view TrimIni(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= 32)
        ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32)
        --end;
    return text.substr(begin, end - begin);
}

bool SameIniName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    return true;
}

bool TIniText::FitsOnOneLine(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::optional<int> TIniText::LineWithNul(std::string_view text) {
    const std::size_t nul = text.find('\0');
    if (nul == std::string_view::npos)
        return std::nullopt;
    int line = 1;
    for (std::size_t i = 0; i < nul; ++i)
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 >= nul || text[i + 1] != '\n')))
            ++line;
    return line;
}

TIniText::TLine TIniText::ParseLine(std::string raw) {
    TLine line;
    const std::string_view trimmed = TrimIni(raw);
    if (!trimmed.empty() && trimmed.front() != ';') {
        const auto eq = trimmed.find('=');
        if (eq != std::string_view::npos) {
            line.HasKey = true;
            line.Key = TrimIni(trimmed.substr(0, eq));
            line.Value = TrimIni(trimmed.substr(eq + 1));
        }
    }
    line.Raw = std::move(raw);
    return line;
}

TIniText::TIniText(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    // Editors on some systems start UTF-8 files with a byte order mark; it would otherwise
    // turn the first section header into a line before any section.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        ByteOrderMark = true;
        text.remove_prefix(kByteOrderMark.size());
    }
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        std::size_t next;
        if (end == std::string_view::npos) {
            end = text.size();
            next = end;
        } else if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') {
            next = end + 2;
        } else {
            next = end + 1;
        }
        std::string raw(text.substr(pos, end - pos));
        pos = next;

        const std::string_view trimmed = TrimIni(raw);
        if (IsSectionHeader(trimmed)) {
            TSection section;
            section.Name = TrimIni(trimmed.substr(1, trimmed.size() - 2));
            section.Header = std::move(raw);
            Sections.push_back(std::move(section));
        } else if (Sections.empty()) {
            Preamble.push_back(std::move(raw));
        } else {
            Sections.back().Lines.push_back(ParseLine(std::move(raw)));
        }
    }
}

std::string TIniText::ToString() const {
    std::string out;
    if (Sections.empty())
        return out;
    if (ByteOrderMark)
        out.append("\xEF\xBB\xBF");
    for (const std::string& line : Preamble)
        out.append(line).append("\r\n");
    for (const TSection& section : Sections) {
        out.append(section.Header).append("\r\n");
        // Trailing empty lines give way to the one empty line after every section, so that
        // rewriting a file does not make it grow.
        std::size_t used = section.Lines.size();
        while (used > 0 && IsBlank(section.Lines[used - 1].Raw))
            --used;
        for (std::size_t i = 0; i < used; ++i)
            out.append(section.Lines[i].Raw).append("\r\n");
        out.append("\r\n");
    }
    return out;
}

int TIniText::FindSection(std::string_view name, TIniMatch match) const {
    const int count = SectionCount();
    for (int n = 0; n < count; ++n) {
        const int i = match == TIniMatch::First ? n : count - 1 - n;
        if (SameIniName(Sections[i].Name, name))
            return i;
    }
    return -1;
}

int TIniText::FindLine(int section, std::string_view key, TIniMatch match) const {
    const std::vector<TLine>& lines = Sections.at(section).Lines;
    const int count = static_cast<int>(lines.size());
    for (int n = 0; n < count; ++n) {
        const int i = match == TIniMatch::First ? n : count - 1 - n;
        if (lines[i].HasKey && SameIniName(lines[i].Key, key))
            return i;
    }
    return -1;
}

std::optional<std::string> TIniText::Value(int section, std::string_view key,
                                           TIniMatch match) const {
    const int line = FindLine(section, key, match);
    if (line < 0)
        return std::nullopt;
    return Sections.at(section).Lines[line].Value;
}

std::optional<std::string> TIniText::Value(std::string_view section, std::string_view key,
                                           TIniMatch match) const {
    const int index = FindSection(section, match);
    if (index < 0)
        return std::nullopt;
    return Value(index, key, match);
}

int TIniText::AddSection(std::string_view name) {
    RequireOneLine(name);
    TSection section;
    section.Name = TrimIni(name);
    section.Header.append("[").append(name).append("]");
    Sections.push_back(std::move(section));
    return SectionCount() - 1;
}

void TIniText::SetValue(int section, std::string_view key, std::string_view value,
                        TIniMatch match) {
    RequireOneLine(key);
    RequireOneLine(value);
    if (key.find('=') != std::string_view::npos)
        throw Exception("An INI key cannot contain \"=\"");
    std::vector<TLine>& lines = Sections.at(section).Lines;
    TLine line = ParseLine(std::string(key) + "=" + std::string(value));
    if (const int existing = FindLine(section, key, match); existing >= 0) {
        lines[existing] = std::move(line);
        return;
    }
    // A new key goes after the section's last line that is not empty.
    std::size_t at = lines.size();
    while (at > 0 && IsBlank(lines[at - 1].Raw))
        --at;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
}

void TIniText::SetValue(std::string_view section, std::string_view key, std::string_view value,
                        TIniMatch match) {
    int index = FindSection(section, match);
    if (index < 0)
        index = AddSection(section);
    SetValue(index, key, value, match);
}

void TIniText::Clear() {
    Preamble.clear();
    Sections.clear();
}

std::optional<std::int32_t> ParseWholeNumber(std::string_view text) {
    std::int64_t value = 0;
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        for (const char c : text.substr(2)) {
            int digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return std::nullopt;
            value = value * 16 + digit;
            if (value > kMax)
                return std::nullopt;
        }
        return static_cast<std::int32_t>(value);
    }
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > kMax + 1)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value < kMin || value > kMax)
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}
