#include "IniText.h"

#include "Errors.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

// Text with embedded NUL characters, taken whole.
template <std::size_t N>
std::string Bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

std::string Sections(const TIniText& ini) {
    std::string out;
    for (int i = 0; i < ini.SectionCount(); ++i)
        out += (i > 0 ? "|" : "") + ini.SectionName(i);
    return out;
}

TEST(IniTextTest, ReadsByTheReadingRules) {
    struct TCase {
        const char* Name;
        std::string Text;
        std::string SectionList;
        const char* Section;
        const char* Key;
        std::optional<std::string> Value;
    };
    using std::nullopt;
    const std::vector<TCase> cases = {
        {"CR LF", "[A]\r\nk=1\r\n", "A", "A", "k", "1"},
        {"lone LF", "[A]\nk=1\n", "A", "A", "k", "1"},
        {"lone CR", "[A]\rk=1\r", "A", "A", "k", "1"},
        {"mixed endings, no final one", "[A]\rx=0\n\r\nk=1", "A", "A", "k", "1"},
        {"a NUL ends the text", Bytes("[A]\nk=1\n\0k=2\n[B]\n"), "A", "A", "k", "1"},
        {"blanks and control characters trimmed", " \t[ A ]\x01\n\t k \t= \t1 2 \x7\n", "A", "A",
         "k", "1 2"},
        {"value is everything after the first =", "[A]\nk= a=b ;c \n", "A", "A", "k", "a=b ;c"},
        {"empty value is a value", "[A]\nk=\n", "A", "A", "k", ""},
        {"comment lines mean nothing", "[A]\n;k=1\n  ;k=2\n", "A", "A", "k", nullopt},
        {"a line without = matches no key", "[A]\nk\n", "A", "A", "k", nullopt},
        {"lines before the first section are ignored", "k=1\n[A]\n", "A", "A", "k", nullopt},
        {"names and keys ignore letter case", "[Settings]\nAutoRefresh=0\n", "Settings", "SETTINGS",
         "autorefresh", "0"},
        {"the last line of a key counts", "[A]\nk=1\nk=2\n", "A", "A", "k", "2"},
        {"the last section of a name counts", "[A]\nk=1\n[a]\nj=2\n", "A|a", "A", "k", nullopt},
        {"every header is a section", "[A]\n[B]\n[A]\n", "A|B|A", "B", "k", nullopt},
        {"header needs both brackets", "[A]\n[B\nk]=1\n", "A", "A", "k]", "1"},
        {"empty name in brackets", "[]\nk=1\n", "", "", "k", "1"},
        {"missing section", "[A]\nk=1\n", "A", "B", "k", nullopt},
        {"bytes above 127 are not trimmed", "[A]\nk=\xC3\xA9\n", "A", "A", "k", "\xC3\xA9"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const TIniText ini(c.Text);
        EXPECT_EQ(Sections(ini), c.SectionList);
        EXPECT_EQ(ini.Value(c.Section, c.Key), c.Value);
    }
}

TEST(IniTextTest, WritesByTheWritingRules) {
    struct TCase {
        const char* Name;
        std::string Text;
        std::string Written;
    };
    const std::vector<TCase> cases = {
        {"no section: zero bytes", "", ""},
        {"only lines before any section: zero bytes", "; note\nk=1\n", ""},
        {"CR LF everywhere and an empty line after each section", "[A]\nk=1\n[B]\rj=2",
         "[A]\r\nk=1\r\n\r\n[B]\r\nj=2\r\n\r\n"},
        {"empty lines at a section's end collapse to one", "[A]\r\nk=1\r\n\r\n\r\n\r\n",
         "[A]\r\nk=1\r\n\r\n"},
        {"other lines kept as written", "; head\n[A]\n ; note \nodd line\n  k = 1  \n\nj=2\n",
         "; head\r\n[A]\r\n ; note \r\nodd line\r\n  k = 1  \r\n\r\nj=2\r\n\r\n"},
        {"a NUL drops the rest", Bytes("[A]\nk=1\0junk"), "[A]\r\nk=1\r\n\r\n"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const TIniText ini(c.Text);
        EXPECT_EQ(ini.ToString(), c.Written);
        EXPECT_EQ(TIniText(ini.ToString()).ToString(), c.Written) << "rewriting is stable";
    }
}

TEST(IniTextTest, SetValueChangesOneLineAndKeepsTheRest) {
    TIniText ini("; keep me\r\n[Other]\r\nx=1\r\n\r\n[Settings]\r\n; note\r\nAutoRefresh=1\r\n"
                 "autorefresh=0\r\nOdd\r\n\r\n");
    ini.SetValue("SETTINGS", "AutoRefresh", "1"); // the last line of the key, in place
    ini.SetValue("Settings", "WarningTimeout", "500");
    ini.SetValue("New", "k", " v ");
    EXPECT_EQ(ini.ToString(), "; keep me\r\n[Other]\r\nx=1\r\n\r\n[Settings]\r\n; note\r\n"
                              "AutoRefresh=1\r\nAutoRefresh=1\r\nOdd\r\nWarningTimeout=500\r\n"
                              "\r\n[New]\r\nk= v \r\n\r\n");
    EXPECT_EQ(ini.Value("Settings", "autorefresh"), "1");
    EXPECT_EQ(ini.Value("new", "K"), "v");
}

TEST(IniTextTest, SetValueWritesIntoTheLastSectionOfAName) {
    TIniText ini("[A]\nk=1\n[a]\nk=2\n");
    ini.SetValue("A", "k", "3");
    EXPECT_EQ(ini.ToString(), "[A]\r\nk=1\r\n\r\n[a]\r\nk=3\r\n\r\n");
}

TEST(IniTextTest, RefusesTextThatWouldBreakALine) {
    TIniText ini("[A]\nk=1\n");
    const std::string before = ini.ToString();
    EXPECT_THROW(ini.SetValue("A", "k", "1\r\nInjected=1"), Exception);
    EXPECT_THROW(ini.SetValue("A", "k", Bytes("a\0b")), Exception);
    EXPECT_THROW(ini.SetValue("A", "k=j", "1"), Exception);
    EXPECT_THROW(ini.AddSection("B]\n[C"), Exception);
    EXPECT_EQ(ini.ToString(), before);
}

TEST(IniTextTest, ParsesWholeNumbers) {
    struct TCase {
        const char* Text;
        std::optional<std::int32_t> Value;
    };
    using std::nullopt;
    const std::vector<TCase> cases = {
        {"0", 0},
        {"42", 42},
        {"+7", 7},
        {"-7", -7},
        {"007", 7},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"2147483648", nullopt},
        {"-2147483649", nullopt},
        {"99999999999999999999", nullopt},
        {"0x10", 16},
        {"0XfF", 255},
        {"0x7FFFFFFF", 2147483647},
        {"0x80000000", nullopt}, // beyond the signed range
        {"0x", nullopt},         // two characters: not hexadecimal, not decimal
        {"0xg", nullopt},
        {"-0x10", nullopt},
        {"", nullopt},
        {"+", nullopt},
        {"-", nullopt},
        {"yes", nullopt},
        {"1.5", nullopt},
        {"1 2", nullopt},
        {"12a", nullopt},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(ParseWholeNumber(c.Text), c.Value) << '"' << c.Text << '"';
}

} // namespace
