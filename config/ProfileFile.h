// Key-by-key access to an INI file, as the platform's profile routines give it: a read takes
// one key with a default; a write changes one key in the file and keeps every other line.
#pragma once

#include "IniText.h"

#include <cstdint>
#include <string>
#include <string_view>

// Text values come back cut to this many bytes (never inside a UTF-8 sequence).
constexpr std::size_t kProfileValueLimit = 2047;

// The file as the read functions below see it: a missing or unreadable file reads as empty.
TIniText ReadProfileFile(const std::string& path);

// The whole text after "=", trimmed and cut to kProfileValueLimit; defaultValue when the
// section or the key is missing (an empty value is not missing).
std::string ProfileString(const TIniText& ini, std::string_view section, std::string_view key,
                          const std::string& defaultValue);
// The value as a whole number (ParseWholeNumber); defaultValue when missing or not one.
std::int32_t ProfileInteger(const TIniText& ini, std::string_view section, std::string_view key,
                            std::int32_t defaultValue);

// Writes one key into the file in place: the last line of the key in the last section of that
// name is replaced, or the key is appended to the section, or the section is added at the
// end. The file is replaced crash-safe and created readable by its owner alone. Throws
// Exception "Unable to write to <path>" when the key cannot be written (the file cannot be
// read or written, or the value has a line break); the file is then unchanged.
void WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value);
