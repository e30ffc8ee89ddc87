#include "IniFile.h"

#include "AtomicFile.h"
#include "Errors.h"

TIniText ReadIniFile(const std::string& path) {
    std::string text;
    const std::error_code error = ReadWholeFile(path, text);
    if (error == std::errc::no_such_file_or_directory)
        return {};
    if (error)
        throw Exception("Cannot open file \"" + path + "\". " + error.message());
    RequireWholeIniText(path, text);
    return TIniText(text);
}

void RequireWholeIniText(const std::string& path, std::string_view text) {
    if (const auto line = TIniText::LineWithNul(text))
        throw Exception("Cannot read file \"" + path + "\": line " + std::to_string(*line) +
                        " holds a NUL byte. Nothing of the file is used, and it is not saved "
                        "over");
}

void WriteIniFile(const std::string& path, const TIniText& ini) {
    const std::error_code error = WriteFileAtomically(path, ini.ToString());
    if (error)
        throw Exception("Cannot create file \"" + path + "\". " + error.message());
}
