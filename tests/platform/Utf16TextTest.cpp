// UTF-16 to UTF-8, including what a server can send and no scenario file can hold: surrogates
// without their partner. A value cut inside a pair loses the half pair, as with the driver's
// own conversion (TextFetchTest compares with it); another lone surrogate becomes '?'.
#include "Utf16Text.h"

#include <gtest/gtest.h>
#include <string>

namespace {

TEST(Utf16Text, EncodesEveryRangeAndMarksUnpairedSurrogates) {
    struct TCase {
        std::u16string In;
        std::string Out;
    };
    for (const TCase& c : {
             TCase{u"", ""}, TCase{u"   ", "   "}, TCase{u"abc   ", "abc   "},
             TCase{u"\u00e9\u0416\u6f22", "\xC3\xA9\xD0\x96\xE6\xBC\xA2"},
             TCase{u"\u007f\u0080\u07ff\u0800\uffff",
                   "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
             TCase{u"\U0001F600 ", "\xF0\x9F\x98\x80 "}, TCase{u"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
             TCase{std::u16string{u'a', 0xD83D, u'b'}, "a?b"}, // high alone
             TCase{std::u16string{0xDE00, u'x'}, "?x"},        // low alone
             TCase{std::u16string{0xD83D, 0xD83D, 0xDE00}, "?\xF0\x9F\x98\x80"},
             TCase{std::u16string{u'z', 0xD83D, u' ', u' '}, "z?  "}, // high before padding
         }) {
        std::string out = "prefix:";
        AppendUtf8(out, c.In.data(), c.In.size());
        EXPECT_EQ(out, "prefix:" + c.Out);
    }
}

} // namespace
