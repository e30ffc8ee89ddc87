// Reading and writing a whole INI file, with the error messages the user sees.
#pragma once

#include "IniText.h"

#include <string>
#include <string_view>

// The file's sections; a missing file has none. Throws Exception
// "Cannot open file "<path>". <reason>" when the file exists but cannot be read, and
// UnreadableIniText's message when it cannot be read whole.
TIniText ReadIniFile(const std::string& path);

// Replaces the file with the text, crash-safe (see AtomicFile.h). Throws Exception
// "Cannot create file "<path>". <reason>" when it cannot be written; the old file is then
// left exactly as it was.
// Refuses (Exception naming the file and the line) text that the reading rules would not take
// whole: a NUL would silently drop every later line, and a save would make that final.
void RequireWholeIniText(const std::string& path, std::string_view text);

void WriteIniFile(const std::string& path, const TIniText& ini);
