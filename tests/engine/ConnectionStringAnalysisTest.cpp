// Which connection strings carry their own credentials, and whose user name they name.
#include "ConnectionStringAnalysis.h"

#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>

namespace {

TEST(ConnectionStringAnalysis, Table) {
    struct {
        const char* Text;
        bool NeedsLogin;
        const char* UserId;
    } cases[] = {
        {"Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=False", false, ""},
        {"Provider=SQLOLEDB.1;Persist Security Info=True;User ID=sa;Password=x", false, "sa"},
        {"Provider=SQLOLEDB.1;Persist Security Info=False;User ID=sa", true, "sa"},
        {"integrated security=sspi", false, ""},
        {"Integrated Security = SSPI", true, ""}, // blanks before "=" are part of the name
        {"Integrated Security=True", true, ""},
        {"Integrated Security=True;Persist Security Info=true", false, ""},
        {"User ID = sa;Persist Security Info=True", false, ""},
        {"  User ID=  sa  ;Persist Security Info=  TRUE ", false, "sa"},
        {"User ID=first;User ID=second", true, "first"},
        {"Password=\"a;User ID=evil\";Data Source=x", true, "evil\""}, // quotes mean nothing
        {"", true, ""},
        {";;;", true, ""},
        {"User ID", true, ""},
        {"User ID=a=b", true, "a=b"},
        {" FILE NAME=/nonexistent.udl", true, ""},
        {"FILE NAME=/nonexistent/x.udl", true, ""},
        {"File Name=/nonexistent/x.udl;User ID=sa", true, "sa"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        const TConnectionAnalysis a = AnalyzeConnectionString(c.Text);
        EXPECT_EQ(a.NeedsLogin, c.NeedsLogin);
        EXPECT_EQ(a.UserId, c.UserId);
    }
}

TEST(ConnectionStringAnalysis, DataLinkFilesAreAnalysedInstead) {
    QTemporaryDir dir;
    auto write = [&](const char* name, const std::u16string& text) {
        const std::string path = dir.filePath(name).toStdString();
        std::string bytes = "\xFF\xFE";
        for (char16_t ch : text) {
            bytes += static_cast<char>(ch & 0xFF);
            bytes += static_cast<char>(ch >> 8);
        }
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    };
    const std::string stored = write(
        "stored.udl", u"[oledb]\r\n; Everything after this line is an OLE DB initstring\r\n"
                      u"Provider=SQLOLEDB.1;Password=pw;Persist Security Info=True;User ID=app;"
                      u"Data Source=db1\r\n");
    const std::string prompt =
        write("prompt.udl", u"[oledb]\r\n; Everything after this line is an OLE DB initstring\r\n"
                            u"Provider=SQLOLEDB.1;Persist Security Info=False;User ID=ops;"
                            u"Data Source=db1\r\n");
    TConnectionAnalysis a = AnalyzeConnectionString("FILE NAME=" + stored);
    EXPECT_FALSE(a.NeedsLogin);
    EXPECT_EQ(a.UserId, "app");
    a = AnalyzeConnectionString("file name=" + prompt);
    EXPECT_TRUE(a.NeedsLogin);
    EXPECT_EQ(a.UserId, "ops");
    // Only the first 260 characters of the path count.
    a = AnalyzeConnectionString("FILE NAME=" + stored + std::string(300, 'x'));
    EXPECT_TRUE(a.NeedsLogin);
}

} // namespace
