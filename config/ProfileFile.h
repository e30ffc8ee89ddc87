// Key-by-key access to an INI file, as the platform's profile routines give it: a read takes
// one key with a default; a write changes keys in the file and keeps every other line. As with
// those routines, the first section of a name and the first line of a key count, and one pair
// of quotes around a value is not part of it.
#pragma once

#include "IniText.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Text values come back cut to this many bytes (never inside a UTF-8 sequence).
constexpr std::size_t kProfileValueLimit = 2047;

// The file as the read functions below see it: a missing or unreadable file reads as empty.
// A file that holds a NUL is refused (Exception, see RequireWholeIniText).
TIniText ReadProfileFile(const std::string& path);

// The whole text after "=", trimmed, without one pair of surrounding quotes (" or '), and cut
// to kProfileValueLimit; defaultValue when the section or the key is missing (an empty value
// is not missing).
std::string ProfileString(const TIniText& ini, std::string_view section, std::string_view key,
                          const std::string& defaultValue);
// The value as a whole number (ParseWholeNumber); defaultValue when missing or not one.
std::int32_t ProfileInteger(const TIniText& ini, std::string_view section, std::string_view key,
                            std::int32_t defaultValue);

// Writes keys into the file in place, all in one replacement of the file: the first line of
// each key in the first section of that name is replaced, or the key is appended to the
// section, or the section is added at the end. A value that itself starts and ends with the
// same quote, or has blanks at either end, gets one more pair, so that it reads back as it was. The
// file is replaced crash-safe and created readable by its owner alone. Throws Exception "Unable to
// write to <path>" when the keys cannot be written (the file cannot be read or written, holds a
// NUL, or a value has a line break); the file is then unchanged.
using TProfileValues = std::vector<std::pair<std::string, std::string>>;
void WriteProfileStrings(const std::string& path, std::string_view section,
                         const TProfileValues& values);
void WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value);
