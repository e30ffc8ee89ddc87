// The two readers of an ODBC connection string as the fuzz target models them, pinned to what
// isql showed of the real unixODBC 2.3.11 and FreeTDS 1.3.17, and the same oracle applied to
// the translation of hostile values in every field.
#include "ConnectionStringReaders.h"

#include "DbTypes.h"
#include "OdbcConnectionString.h"

#include <gtest/gtest.h>

using connstr_readers::ReadAsDriverManager;
using connstr_readers::ReadAsFreeTds;
using connstr_readers::TPairs;

namespace {

TEST(ConnectionStringReaders, ReadAsTheRealOnesDo) {
    // The driver manager loaded "/tmp/x.so}" for this one; FreeTDS took the password whole.
    const std::string inject = "Driver={FreeTDS};PWD={x}DRIVER=/tmp/x.so};APP=A;";
    EXPECT_EQ(
        ReadAsDriverManager(inject),
        (TPairs{{"Driver", "FreeTDS"}, {"PWD", "x"}, {"DRIVER", "/tmp/x.so}"}, {"APP", "A"}}));
    EXPECT_EQ(ReadAsFreeTds(inject),
              (TPairs{{"Driver", "FreeTDS"}, {"PWD", "x}DRIVER=/tmp/x.so"}, {"APP", "A"}}));
    // "}}": one "}" to the manager, two to FreeTDS (login "dbl" with password "a}}b").
    EXPECT_EQ(ReadAsDriverManager("PWD={a}}b};"), (TPairs{{"PWD", "a}b"}}));
    EXPECT_EQ(ReadAsFreeTds("PWD={a}}b};"), (TPairs{{"PWD", "a}}b"}}));
    // The manager's key runs to "=" across ";" (this string kept the FreeTDS driver).
    EXPECT_EQ(ReadAsDriverManager("Driver={FreeTDS};junk;DRIVER=/x;"),
              (TPairs{{"Driver", "FreeTDS"}, {"junk;DRIVER", "/x"}}));
    // FreeTDS: a braced value that no "};" ends runs to the end ("T a}x;", "w}" arrived).
    EXPECT_EQ(ReadAsFreeTds("APP={T a}x;"), (TPairs{{"APP", "T a}x;"}}));
    EXPECT_EQ(ReadAsFreeTds("WSID={w}"), (TPairs{{"WSID", "w}"}}));
    // Unbraced, both keep blanks and "}" ("PWD=a}b", "WSID= lead" arrived as written).
    EXPECT_EQ(ReadAsDriverManager("PWD=a}b;WSID= lead"),
              (TPairs{{"PWD", "a}b"}, {"WSID", " lead"}}));
    EXPECT_EQ(ReadAsFreeTds("PWD=a}b;WSID= lead"), (TPairs{{"PWD", "a}b"}, {"WSID", " lead"}}));
}

TEST(ConnectionStringReaders, TranslationReadsTheSameToBoth) {
    const std::string hostile[] = {
        "x}DRIVER=/tmp/lib.so",
        "a};DSN=x",
        "{",
        "}",
        ";",
        "=",
        "}}",
        "{a}",
        "a;b}",
        "x}FILEDSN=/f",
        "x};SAVEFILE=/s",
        "  lead",
        "trail  ",
        "p\xC3\xA4\xE2\x82\xAC",
        "\"q'",
        "a=b;c",
        "{x",
        "x{",
        "};",
        "};;",
        ";}",
    };
    const char* const fields[] = {"User ID", "Password", "Initial Catalog", "Workstation ID"};
    const char* const keys[] = {"UID", "PWD", "Database", "WSID"};
    for (const std::string& value : hostile) {
        for (int f = 0; f < 4; ++f) {
            SCOPED_TRACE(std::string(fields[f]) + " = " + value);
            std::string quoted = "\"";
            for (char c : value) {
                quoted += c;
                if (c == '"') {
                    quoted += '"';
                }
            }
            quoted += '"';
            // A password goes with a user name.
            const std::string oleDb = std::string("Data Source=db1;") +
                                      (f == 1 ? "User ID=sa;" : "") + fields[f] + "=" + quoted;
            std::string odbc;
            try {
                const TOdbcConnectInfo info = TranslateConnectionString(oleDb, "", "");
                if (!info.DataSource.empty()) {
                    // Credentials no string carries travel apart, unchanged.
                    EXPECT_LE(f, 1);
                    EXPECT_EQ(info.OdbcString, "");
                    EXPECT_EQ(f == 0 ? info.UserId : info.Password, value);
                    continue;
                }
                odbc = info.OdbcString;
            } catch (const EDbError& e) {
                EXPECT_NE(std::string(e.what()).find(std::string("The value of ") + keys[f]),
                          std::string::npos)
                    << e.what();
                continue;
            }
            TPairs expected = {{"Driver", "FreeTDS"},      {"Server", "db1"},
                               {"Port", "1433"},           {"TDS_Version", "7.4"},
                               {"ClientCharset", "UTF-8"}, {"PacketSize", "32767"},
                               {"APP", "Tallyvane"}};
            if (f == 1) {
                expected.emplace_back("UID", "sa");
            }
            expected.emplace_back(keys[f], value);
            EXPECT_EQ(connstr_readers::Disagreement(odbc, expected), "") << odbc;
        }
    }
}

} // namespace
