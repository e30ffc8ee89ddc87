// Data link files written the way the Windows tools write them (UTF-16LE with a mark), and the
// ways they can be broken.
#include "DataLinkFile.h"

#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>

namespace {

std::string Utf16Le(const std::u16string& text, bool mark = true) {
    std::string bytes;
    if (mark) {
        bytes += "\xFF\xFE";
    }
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return bytes;
}

class DataLinkFileTest : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& bytes) {
        const std::string path = Dir.filePath(QString::fromStdString(name)).toStdString();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    QTemporaryDir Dir;
};

TEST_F(DataLinkFileTest, ReadsTheConnectionStringInItsForms) {
    const std::u16string standard =
        u"[oledb]\r\n; Everything after this line is an OLE DB initstring\r\n"
        u"Provider=SQLOLEDB.1;Persist Security Info=False;User ID=sa;Data Source=db1\r\n";
    struct {
        const char* Name;
        std::string Bytes;
        const char* Expected;
    } cases[] = {
        {"standard.udl", Utf16Le(standard),
         "Provider=SQLOLEDB.1;Persist Security Info=False;User ID=sa;Data Source=db1"},
        {"nomark.udl", Utf16Le(standard, false),
         "Provider=SQLOLEDB.1;Persist Security Info=False;User ID=sa;Data Source=db1"},
        {"no-final-newline.udl", Utf16Le(u"[oledb]\r\n; comment\r\nData Source=x"),
         "Data Source=x"},
        {"utf8.udl", "\xEF\xBB\xBF[oledb]\n; comment\nData Source=y;User ID=\xC3\xA9l\xC3\xA8ve\n",
         "Data Source=y;User ID=\xC3\xA9l\xC3\xA8ve"},
        {"non-ascii.udl", Utf16Le(u"[oledb]\r\n; c\r\nUser ID=\u00e9\u20ac\U0001F600\r\n"),
         "User ID=\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto text = LoadDataLinkFile(Write(c.Name, c.Bytes));
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(*text, c.Expected);
    }
}

TEST_F(DataLinkFileTest, AFileThatCannotBeReadGivesNothing) {
    EXPECT_FALSE(LoadDataLinkFile(Dir.filePath("missing.udl").toStdString()).has_value());
    EXPECT_FALSE(LoadDataLinkFile(Dir.path().toStdString()).has_value()); // a folder
    EXPECT_FALSE(LoadDataLinkFile(Write("empty.udl", "")).has_value());
    EXPECT_FALSE(LoadDataLinkFile(Write("header-only.udl", Utf16Le(u"[oledb]\r\n; comment\r\n")))
                     .has_value());
    // An odd trailing byte or an unpaired surrogate does not stop the reading.
    const auto odd = LoadDataLinkFile(Write("odd.udl", Utf16Le(u"[oledb]\r\nA=\xD800;B=1") + "x"));
    ASSERT_TRUE(odd.has_value());
    EXPECT_EQ(*odd, "A=\xEF\xBF\xBD;B=1");
}

} // namespace
