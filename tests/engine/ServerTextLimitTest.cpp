// Server text cut at a column's size: counted in UTF-16 code units as SQL Server counts them,
// never inside a character.
#include "ServerTextLimit.h"

#include <gtest/gtest.h>

namespace {

TEST(ServerTextLimit, CutCountsUtf16UnitsAndKeepsCharactersWhole) {
    const struct {
        const char* Text;
        std::size_t Units;
        const char* Expected;
    } cases[] = {
        {"abc", 3, "abc"},
        {"abcd", 3, "abc"},
        {"", 0, ""},
        {"abc", 0, ""},
        {"\xC3\xA4\xC3\xB6\xC3\xBC", 2, "\xC3\xA4\xC3\xB6"},         // 2-byte letters
        {"a\xE2\x82\xAC\xE2\x82\xAC", 2, "a\xE2\x82\xAC"},           // 3-byte euro signs
        {"a\xF0\x9F\x98\x80", 2, "a"},                               // a pair does not fit
        {"a\xF0\x9F\x98\x80", 3, "a\xF0\x9F\x98\x80"},               // it does
        {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 3, "\xF0\x9F\x98\x80"}, // two pairs, room for 1.5
        {"ab\xE2\x82", 3, "ab\xE2\x82"},                             // broken tail: bytes kept
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(CutToUnits(c.Text, c.Units), c.Expected);
    }
    // A hostile host name of a million characters keeps its column's 128.
    const std::string huge(1000000, 'h');
    EXPECT_EQ(CutToUnits(huge, ServerTextLimit::Name).size(), 128u);
}

} // namespace
