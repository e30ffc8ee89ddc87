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
    return TIniText(text);
}

void WriteIniFile(const std::string& path, const TIniText& ini) {
    const std::error_code error = WriteFileAtomically(path, ini.ToString());
    if (error)
        throw Exception("Cannot create file \"" + path + "\". " + error.message());
}
