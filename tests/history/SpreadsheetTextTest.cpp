// Text as a spreadsheet cell: what is dropped is whole characters, never bytes, so nothing
// the cleaning leaves can join into a control, and no character reorders what a viewer shows.
#include "SpreadsheetText.h"

#include <gtest/gtest.h>
#include <string>

namespace {

TEST(SpreadsheetText, ControlsGoAsWholeCharacters) {
    const struct {
        const char* Name;
        std::string In;
        std::string Out;
    } cases[] = {
        {"right-to-left override",
         "invoice\xE2\x80\xAE"
         "fdp.exe",
         "invoicefdp.exe"},
        {"every bidi control",
         "a\xD8\x9C"
         "b\xE2\x80\x8E"
         "c\xE2\x80\x8F"
         "d\xE2\x80\xAA"
         "e\xE2\x80\xAB"
         "f\xE2\x80\xAC"
         "g\xE2\x80\xAD"
         "h\xE2\x81\xA6"
         "i\xE2\x81\xA7"
         "j\xE2\x81\xA8"
         "k\xE2\x81\xA9"
         "l",
         "abcdefghijkl"},
        // C2 and 9B around a control byte are no CSI; left alone they are two stray bytes.
        {"no CSI out of the bytes around a control", "a\xC2\x01\x9B[31mb",
         "a\xEF\xBF\xBD\xEF\xBF\xBD[31mb"},
        {"no CSI around DEL", "\xC2\x7F\x9B", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"C1 as a character",
         "a\xC2\x9B"
         "31mb\xC2\x85",
         "a31mb"},
        {"bytes that are no character", "\xFF\xC0\xAF\xED\xA0\x80\xE2\x80",
         "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
         "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"characters near the refused ones stay",
         "\xE2\x80\xA9\xE2\x81\xA5\xC2\xA0\xF0\x9F\x98\x80",
         "\xE2\x80\xA9\xE2\x81\xA5\xC2\xA0\xF0\x9F\x98\x80"},
        // A formula that only shows once a control is gone is still defused.
        {"formula behind a bidi control", "\xE2\x80\xAE=1+1", "'=1+1"},
        {"formula behind NUL", std::string("\0=1", 3), "'=1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(SpreadsheetText(c.In), c.Out);
    }
}

} // namespace
