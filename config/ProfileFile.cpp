#include "ProfileFile.h"

#include "AtomicFile.h"
#include "Errors.h"

TIniText ReadProfileFile(const std::string& path) {
    std::string text;
    if (ReadWholeFile(path, text))
        return {};
    return TIniText(text);
}

std::string ProfileString(const TIniText& ini, std::string_view section, std::string_view key,
                          const std::string& defaultValue) {
    std::optional<std::string> value = ini.Value(section, key);
    if (!value)
        return defaultValue;
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

void WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value) {
    const auto fail = [&] { return Exception("Unable to write to " + path); };
    std::string text;
    const std::error_code readError = ReadWholeFile(path, text);
    // A file that exists but cannot be read is not overwritten: its content would be lost.
    if (readError && readError != std::errc::no_such_file_or_directory)
        throw fail();
    TIniText ini(text);
    try {
        ini.SetValue(section, key, value);
    } catch (const Exception&) {
        throw fail();
    }
    if (WriteFileAtomically(path, ini.ToString()))
        throw fail();
}
