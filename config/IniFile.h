// Reading and writing a whole INI file, with the error messages the user sees.
#pragma once

#include "IniText.h"

#include <string>

// The file's sections; a missing file has none. Throws Exception
// "Cannot open file "<path>". <reason>" when the file exists but cannot be read.
TIniText ReadIniFile(const std::string& path);

// Replaces the file with the text, crash-safe (see AtomicFile.h). Throws Exception
// "Cannot create file "<path>". <reason>" when it cannot be written; the old file is then
// left exactly as it was.
void WriteIniFile(const std::string& path, const TIniText& ini);
