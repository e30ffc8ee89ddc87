// The version record that the build embeds in the program and TFileVersionInfo reads back.
// The record is found in a file by scanning for its start signature, so it works for any
// file: the executable, a copy of it, or a small test fixture.
//
// Layout, every number little-endian:
//   offset  size  content
//        0    16  start signature (VersionRecordStart())
//       16     4  total length of the record in bytes, both signatures included
//       20     2  layout version, 1
//       22     2  reserved, 0
//       24     4  FileVersionMS: MajorVersion << 16 | MinorVersion
//       28     4  FileVersionLS: Release << 16 | Build
//       32     4  FileFlagsMask
//       36     4  FileFlags; bit 1 (value 2) marks a pre-release
//       40     2  number of translations T
//       42  4 * T translations: language (2 bytes), then code page (2 bytes)
//        …     2  number of string tables S; each table:
//                   key: a text, the translation as eight hexadecimal digits ("0409FDE9")
//                   2 bytes: number of strings N, then N pairs of texts: name, value
//        …    16  end signature (VersionRecordEnd())
// A text is its length in bytes (2 bytes) followed by that many bytes of UTF-8; a zero byte
// inside ends it early.
//
// The two signatures are kept scrambled in the program's code, so that only a real record
// holds them in plain form and a scan of the program's own file cannot stop at the reader's
// copy of them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace VersionRecord {

inline constexpr std::size_t SignatureSize = 16;
inline constexpr std::uint32_t PreReleaseFlag = 2;
inline constexpr std::size_t MaxRecordSize = 8192;

// "TallyvaneVerInfo" and "TallyvaneVerEnd." with every byte inverted.
inline constexpr unsigned char ScrambledStart[SignatureSize] = {
    0xAB, 0x9E, 0x93, 0x93, 0x86, 0x89, 0x9E, 0x91, 0x9A, 0xA9, 0x9A, 0x8D, 0xB6, 0x91, 0x99, 0x90};
inline constexpr unsigned char ScrambledEnd[SignatureSize] = {
    0xAB, 0x9E, 0x93, 0x93, 0x86, 0x89, 0x9E, 0x91, 0x9A, 0xA9, 0x9A, 0x8D, 0xBA, 0x91, 0x9B, 0xD1};

constexpr std::array<unsigned char, SignatureSize>
Unscramble(const unsigned char (&s)[SignatureSize]) {
    std::array<unsigned char, SignatureSize> plain{};
    for (std::size_t i = 0; i < SignatureSize; ++i)
        plain[i] = static_cast<unsigned char>(~s[i]);
    return plain;
}
constexpr std::array<unsigned char, SignatureSize> VersionRecordStart() {
    return Unscramble(ScrambledStart);
}
constexpr std::array<unsigned char, SignatureSize> VersionRecordEnd() {
    return Unscramble(ScrambledEnd);
}

struct TText {
    std::string_view Name;
    std::string_view Value;
};

struct TTable {
    std::string_view Key; // eight hexadecimal digits: language, code page
    const TText* Texts = nullptr;
    std::size_t Count = 0;
};

struct TTranslation {
    std::uint16_t Language = 0;
    std::uint16_t CodePage = 0;
};

struct TVersionLayout {
    std::uint16_t Major = 0, Minor = 0, Release = 0, Build = 0;
    std::uint32_t FlagsMask = 0x3F;
    std::uint32_t Flags = 0;
    const TTranslation* Translations = nullptr;
    std::size_t TranslationCount = 0;
    const TTable* Tables = nullptr;
    std::size_t TableCount = 0;
};

// A record of at most MaxRecordSize bytes, built at compile time for the program and at run
// time for test fixtures.
struct TBytes {
    std::array<unsigned char, MaxRecordSize> Data{};
    std::size_t Size = 0;

    constexpr void Put(unsigned char b) {
        if (Size >= MaxRecordSize)
            throw std::length_error("version record too large");
        Data[Size++] = b;
    }
    constexpr void Put16(std::uint32_t v) {
        Put(static_cast<unsigned char>(v & 0xFF));
        Put(static_cast<unsigned char>((v >> 8) & 0xFF));
    }
    constexpr void Put32(std::uint32_t v) {
        Put16(v & 0xFFFF);
        Put16(v >> 16);
    }
    constexpr void PutText(std::string_view text) {
        Put16(static_cast<std::uint32_t>(text.size()));
        for (const char c : text)
            Put(static_cast<unsigned char>(c));
    }
};

constexpr TBytes Encode(const TVersionLayout& layout) {
    TBytes out;
    for (const unsigned char b : VersionRecordStart())
        out.Put(b);
    out.Put32(0); // length, filled in below
    out.Put16(1);
    out.Put16(0);
    out.Put32(static_cast<std::uint32_t>(layout.Major) << 16 | layout.Minor);
    out.Put32(static_cast<std::uint32_t>(layout.Release) << 16 | layout.Build);
    out.Put32(layout.FlagsMask);
    out.Put32(layout.Flags);
    out.Put16(static_cast<std::uint32_t>(layout.TranslationCount));
    for (std::size_t i = 0; i < layout.TranslationCount; ++i) {
        out.Put16(layout.Translations[i].Language);
        out.Put16(layout.Translations[i].CodePage);
    }
    out.Put16(static_cast<std::uint32_t>(layout.TableCount));
    for (std::size_t t = 0; t < layout.TableCount; ++t) {
        const TTable& table = layout.Tables[t];
        out.PutText(table.Key);
        out.Put16(static_cast<std::uint32_t>(table.Count));
        for (std::size_t i = 0; i < table.Count; ++i) {
            out.PutText(table.Texts[i].Name);
            out.PutText(table.Texts[i].Value);
        }
    }
    for (const unsigned char b : VersionRecordEnd())
        out.Put(b);
    const auto size = static_cast<std::uint32_t>(out.Size);
    for (std::size_t i = 0; i < 4; ++i)
        out.Data[SignatureSize + i] = static_cast<unsigned char>((size >> (8 * i)) & 0xFF);
    return out;
}

} // namespace VersionRecord
