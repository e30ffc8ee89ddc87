// INI text as both of the program's files use it. Reading: lines end at CR LF, a lone CR or a
// lone LF, and a NUL ends the text; lines are trimmed; empty lines and lines starting with ";"
// mean nothing; "[name]" opens a section (every header is a section of its own, repeats
// included); lines before the first section are ignored; "key=value" splits at the first "=".
// Names and keys compare ignoring ASCII letter case; a lookup finds the last section of a name
// and the last line of a key. Writing: CR LF after every line, one empty line after each
// section, and no bytes at all when there is no section.
//
// Every line is kept as it was read, so that updating one key leaves the rest of the file as
// the user wrote it. A UTF-8 byte order mark at the start is no part of the first line; it is
// written back as it was found.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Which of several sections of one name, or lines of one key, a lookup takes: the server list
// takes the last, the settings file (as the platform's profile routines do) the first.
enum class TIniMatch { Last, First };

class TIniText {
public:
    TIniText() = default;
    explicit TIniText(std::string_view text);

    std::string ToString() const;

    int SectionCount() const { return static_cast<int>(Sections.size()); }
    // Section names in file order, repeats included.
    const std::string& SectionName(int section) const { return Sections.at(section).Name; }
    // The last (or first) section of that name, or -1.
    int FindSection(std::string_view name, TIniMatch match = TIniMatch::Last) const;
    // The value of the last (or first) line with that key, trimmed; nothing when the key is
    // missing.
    std::optional<std::string> Value(int section, std::string_view key,
                                     TIniMatch match = TIniMatch::Last) const;
    std::optional<std::string> Value(std::string_view section, std::string_view key,
                                     TIniMatch match = TIniMatch::Last) const;

    // Appends a section and returns its index. Throws Exception for a name with a line break.
    int AddSection(std::string_view name);
    // Replaces the line of the key (the one Value reads with the same match) in place, or
    // appends one to the section. Throws Exception for text with a line break or a key with
    // "=".
    void SetValue(int section, std::string_view key, std::string_view value,
                  TIniMatch match = TIniMatch::Last);
    // The same in the section of that name that FindSection finds, added at the end when
    // missing.
    void SetValue(std::string_view section, std::string_view key, std::string_view value,
                  TIniMatch match = TIniMatch::Last);
    // The lines before the first section, as read.
    const std::vector<std::string>& PreambleLines() const { return Preamble; }
    // Forgets every line.
    void Clear();

    // Text that a line of an INI file can hold (no CR, LF or NUL).
    static bool FitsOnOneLine(std::string_view text);
    // The number (from 1) of the first line that holds a NUL, which the reading rule would cut
    // the text at; nothing when there is none. Files are checked with it before they are
    // used, so that no line after a NUL is lost unseen.
    static std::optional<int> LineWithNul(std::string_view text);

private:
    struct TLine {
        std::string Raw;
        bool HasKey = false;
        std::string Key; // trimmed, when HasKey
        std::string Value;
    };
    struct TSection {
        std::string Name;
        std::string Header; // the header line as read, or "[" + Name + "]"
        std::vector<TLine> Lines;
    };
    bool ByteOrderMark = false;
    std::vector<std::string> Preamble; // lines before the first section
    std::vector<TSection> Sections;

    static TLine ParseLine(std::string raw);
    int FindLine(int section, std::string_view key, TIniMatch match) const;
};

// A whole number as both files store them: decimal with an optional sign, or hexadecimal after
// "0x" or "0X" (more than two characters in all), within the signed 32-bit range.
std::optional<std::int32_t> ParseWholeNumber(std::string_view text);

// Removes every leading and trailing character whose code is 32 or less.
std::string_view TrimIni(std::string_view text);

// ASCII letters fold to one case; every other byte compares as it is.
bool SameIniName(std::string_view a, std::string_view b);
