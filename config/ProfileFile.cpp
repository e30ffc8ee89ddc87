#include "ProfileFile.h"

#include "AtomicFile.h"
#include "Errors.h"
#include "IniFile.h"

TIniText ReadProfileFile(const std::string& path) {
    std::string text;
    if (ReadWholeFile(path, text))
        return {};
    RequireWholeIniText(path, text);
    return TIniText(text);
}

namespace {

bool IsQuoted(std::string_view value) {
    return value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
           value.back() == value.front();
}

// A value that would lose its own quotes, or its blanks at either end, on reading gets one
// more pair of quotes.
std::string Protected(const std::string& value) {
    const std::string_view trimmed = TrimIni(value);
    if (trimmed.size() == value.size() && !IsQuoted(trimmed))
        return value;
    return "\"" + value + "\"";
}

} // namespace

std::string ProfileString(const TIniText& ini, std::string_view section, std::string_view key,
                          const std::string& defaultValue) {
    std::optional<std::string> value = ini.Value(section, key, TIniMatch::First);
    if (!value)
        return defaultValue;
    if (IsQuoted(*value))
        *value = value->substr(1, value->size() - 2);
    if (value->size() > kProfileValueLimit) {
        std::size_t cut = kProfileValueLimit;
        // Step back over UTF-8 continuation bytes so that no character is split.
        while (cut > 0 && (static_cast<unsigned char>((*value)[cut]) & 0xC0) == 0x80)
            --cut;
        value->resize(cut);
    }
    return *value;
}

std::int32_t ProfileInteger(const TIniText& ini, std::string_view section, std::string_view key,
                            std::int32_t defaultValue) {
    const std::string text = ProfileString(ini, section, key, std::string());
    return ParseWholeNumber(text).value_or(defaultValue);
}

void WriteProfileStrings(const std::string& path, std::string_view section,
                         const TProfileValues& values) {
    const auto fail = [&] { return Exception("Unable to write to " + path); };
    std::string text;
    const std::error_code readError = ReadWholeFile(path, text);
    // A file that exists but cannot be read is not overwritten: its content would be lost.
    if (readError && readError != std::errc::no_such_file_or_directory)
        throw fail();
    // Nor is one that was not read whole.
    if (TIniText::LineWithNul(text))
        throw fail();
    TIniText ini(text);
    try {
        for (const auto& [key, value] : values)
            ini.SetValue(section, key, Protected(value), TIniMatch::First);
    } catch (const Exception&) {
        throw fail();
    }
    if (WriteFileAtomically(path, ini.ToString()))
        throw fail();
}

void WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value) {
    WriteProfileStrings(path, section, {{std::string(key), std::string(value)}});
}
