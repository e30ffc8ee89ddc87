// Characters beyond ASCII as the unixODBC driver manager reads them (each UTF-16 unit cut to
// its low byte): no value in any field may steer it, credentials that no connection string
// carries travel apart, and values written to a configuration file read back as written.
#include "ConnectionStringReaders.h"
#include "DbTypes.h"
#include "FreeTdsConfig.h"
#include "OdbcConnectionString.h"
#include "OdbcValueRules.h"

#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

using connstr_readers::OleDbQuoted;
using connstr_readers::TPairs;

namespace {

// "Ž" U+017D reads as "}", "Ļ" U+013B as ";", "į" U+012F as "/", "Ż" U+017B as "{",
// "Ā" U+0100 as a NUL, U+1F47D (a surrogate pair) as "=}".
const std::string Z = "\xC5\xBD";
const std::string L = "\xC4\xBB";
const std::string I = "\xC4\xAF";
const std::string OpenBrace = "\xC5\xBB";
const std::string Nul = "\xC4\x80";
const std::string Alien = "\xF0\x9F\x91\xBD";

// Hostile values in the shapes the attacker used, and plain ones that must still pass.
const std::vector<std::string> Hostile = {
    "x" + Z + L + "DRIVER=" + I + "tmp" + I + "lib.so" + L,
    "x" + Z + L + "DSN=evil" + L,
    "x" + Z + L + "FILEDSN=" + I + "tmp" + I + "f" + L,
    "x" + Z + L + "SAVEFILE=" + I + "tmp" + I + "s" + L,
    "x" + Z + L + "DMConnAttr=[105]\\\\" + L,
    OpenBrace + "x" + Z + L + "DRIVER=/tmp/lib.so",
    "a" + Alien + ";DRIVER=/tmp/lib.so",
    "a}" + L + "DRIVER=/tmp/lib.so",
    "a" + Nul + "}DRIVER=/tmp/lib.so;",
    "a;b}c",
    "x};DRIVER=/tmp/lib.so",
    "p" + Z,
    "p" + L + "q",
    "p" + Nul + "q" + Alien,
};

TEST(DriverManagerCopy, CutsEachUnitToItsLowByte) {
    EXPECT_EQ(DriverManagerCopy("a" + Z + L + I + OpenBrace), "a};/{");
    EXPECT_EQ(DriverManagerCopy("p" + Nul + "q"), std::string("p\0q", 3));
    EXPECT_EQ(DriverManagerCopy(Alien), "=}"); // D83D DC7D
    EXPECT_EQ(DriverManagerCopy("\xC3\xA4"), "\xE4");
    // The attack as the real driver manager read it: it loaded "/tmp/x.so" as the driver.
    const std::string attack = "Driver={FreeTDS};PWD={x" + Z + L + "DRIVER=/tmp/x.so" + L + "};";
    EXPECT_EQ(connstr_readers::ReadAsDriverManager(connstr_readers::DriverManagerView(attack)),
              (TPairs{{"Driver", "FreeTDS"}, {"PWD", "x"}, {"DRIVER", "/tmp/x.so"}}));
}

TEST(DriverManagerCopy, QuotingServesTheCopyAndTheText) {
    const struct {
        std::string Value;
        std::optional<std::string> Odbc; // Microsoft's driver: "}}" for "}"
    } cases[] = {
        {"a}b;c", "{a}}b;c}"},
        {"a" + L + "b", "{a" + L + "b}"},
        {"x" + Z, std::nullopt},
        {"x" + Alien, std::nullopt},
        {OpenBrace + "ab", "{" + OpenBrace + "ab}"},
        {"plain", "plain"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Value);
        EXPECT_EQ(OdbcQuote(c.Value), c.Odbc);
    }
    // Whatever is written reads back whole to both readers, through the manager's copy too.
    for (const std::string& value : Hostile) {
        SCOPED_TRACE(value);
        if (const std::optional<std::string> q = FreeTdsQuote(value)) {
            EXPECT_EQ(connstr_readers::Disagreement(
                          "Driver={FreeTDS};PWD=" + *q + ";APP=A;",
                          {{"Driver", "FreeTDS"}, {"PWD", value}, {"APP", "A"}}),
                      "");
        }
    }
}

TEST(DriverManagerCopy, DriverNamesAreAsciiNamesNotPaths) {
    EXPECT_EQ(DriverNameProblem("ODBC Driver 18 for SQL Server"), "");
    EXPECT_EQ(DriverNameProblem("FreeTDS"), "");
    for (const std::string& name :
         {I + "tmp" + I + "evil.so", "Free" + Z + "TDS", std::string("x/y"), std::string("x\\y"),
          std::string("a}b"), std::string("t\ta")}) {
        SCOPED_TRACE(name);
        EXPECT_NE(DriverNameProblem(name), "");
        try {
            TranslateConnectionString("Driver={" + name + "};Data Source=db1", "", "");
            ADD_FAILURE() << "accepted";
        } catch (const EDbError& e) {
            EXPECT_NE(std::string(e.what()).find("Invalid driver name"), std::string::npos);
        }
    }
}

class SeparateLogin : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        ::setenv("XDG_RUNTIME_DIR", Dir.path().toStdString().c_str(), 1);
        ::chmod(Dir.path().toStdString().c_str(), 0700);
    }

    static std::string ReadAll(const std::string& path) {
        std::ifstream in(path);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    QTemporaryDir Dir;
};

// Every hostile value, in every field, from the string or from the login dialog: the driver
// manager's reading holds only the keys meant, the credentials that no string carries go
// apart unchanged, and any other value that cannot be carried is refused by its key.
TEST_F(SeparateLogin, HostileValuesNeverReachTheDriverManagerAsKeys) {
    const char* const fields[] = {"User ID", "Password", "Initial Catalog", "Workstation ID",
                                  "Data Source"};
    const char* const keys[] = {"UID", "PWD", "Database", "WSID", "Server"};
    for (const std::string& value : Hostile) {
        for (int f = 0; f < 5; ++f) {
            for (const bool typed : {false, true}) {
                if (typed && f > 1) {
                    continue;
                }
                SCOPED_TRACE(std::string(fields[f]) + (typed ? " typed: " : ": ") + value);
                std::string oleDb = f == 4 ? "" : "Data Source=db1;";
                std::string user;
                std::string password;
                if (typed) {
                    user = f == 0 ? value : "sa";
                    password = f == 1 ? value : "pw";
                } else {
                    // The last of a key counts: the field overrides these.
                    oleDb += "User ID=sa;Password=pw;" + std::string(fields[f]) + "=" +
                             OleDbQuoted(value) + ";";
                }
                if (f == 4) {
                    oleDb += "Connect Timeout=3";
                }
                TOdbcConnectInfo info;
                try {
                    info = TranslateConnectionString(oleDb, user, password);
                } catch (const EDbError& e) {
                    EXPECT_GE(f, 2) << e.what(); // credentials always find a way
                    EXPECT_NE(std::string(e.what()).find(std::string("The value of ") + keys[f]),
                              std::string::npos)
                        << e.what();
                    continue;
                }
                if (!info.DataSource.empty()) {
                    ASSERT_LE(f, 1);
                    EXPECT_EQ(info.OdbcString, "");
                    EXPECT_EQ(info.UserId, f == 0 ? value : "sa");
                    EXPECT_EQ(info.Password, f == 1 ? value : "pw");
                    continue;
                }
                const TPairs dm = connstr_readers::ReadAsDriverManager(
                    connstr_readers::DriverManagerView(info.OdbcString));
                ASSERT_FALSE(dm.empty());
                EXPECT_EQ(dm[0], (std::pair<std::string, std::string>{"Driver", "FreeTDS"}));
                for (const auto& [key, v] : dm) {
                    const std::string k = connstr_readers::Upper(key);
                    EXPECT_TRUE(k != "DSN" && k != "FILEDSN" && k != "SAVEFILE" &&
                                k.rfind("DM", 0) != 0 && (k != "DRIVER" || v == "FreeTDS"))
                        << connstr_readers::Show(dm);
                }
                const TPairs tds = connstr_readers::ReadAsFreeTds(info.OdbcString);
                EXPECT_EQ(connstr_readers::Disagreement(info.OdbcString, tds), "");
            }
        }
    }
}

// A password holding "}" and ";" (generated passwords do) goes in SQLConnect's arguments; the
// private data source names FreeTDS and a section of its private file, never the password.
TEST_F(SeparateLogin, PasswordNoStringCarriesGoesApartAndIsNeverWritten) {
    const std::string password = "Gen};pw{x}}";
    const TOdbcConnectInfo info = TranslateConnectionString(
        "Data Source=db1,14330;User ID=ops;Initial Catalog=HR;Encrypt=yes;"
        "TrustServerCertificate=yes",
        "", password);
    EXPECT_EQ(info.OdbcString, "");
    EXPECT_EQ(info.UserId, "ops");
    EXPECT_EQ(info.Password, password);
    ASSERT_EQ(info.DataSource.rfind("tallyvane-dsn-", 0), 0u) << info.DataSource;
    EXPECT_EQ(std::string(std::getenv("ODBCINI") ? std::getenv("ODBCINI") : ""), OdbcIniPath());
    const std::string ini = ReadAll(OdbcIniPath());
    const std::string conf = ReadAll(FreeTdsConfigPath());
    EXPECT_NE(ini.find("[" + info.DataSource + "]\nDriver = FreeTDS\nServername = tallyvane-"),
              std::string::npos)
        << ini;
    EXPECT_NE(ini.find("Database = HR\n"), std::string::npos) << ini;
    const std::size_t named = ini.find("Servername = ", ini.find(info.DataSource));
    ASSERT_NE(named, std::string::npos);
    const std::string section = ini.substr(named + 13, ini.find('\n', named) - named - 13);
    const std::size_t begin = conf.find("[" + section + "]");
    ASSERT_NE(begin, std::string::npos) << conf;
    const std::string body = conf.substr(begin, conf.find("\n[", begin + 1) - begin);
    for (const char* line : {"host = db1", "port = 14330", "encryption = require",
                             "client charset = UTF-8", "tds version = 7.4"}) {
        EXPECT_NE(body.find(line), std::string::npos) << line << " in\n" << body;
    }
    EXPECT_EQ(body.find("ca file"), std::string::npos) << body; // no check was asked
    for (const std::string& text : {ini, conf}) {
        EXPECT_EQ(text.find("Gen}"), std::string::npos);
        EXPECT_EQ(text.find("ops"), std::string::npos);
    }
    // A database the data source file cannot carry is refused by name, password unseen.
    try {
        TranslateConnectionString("Data Source=db1;User ID=ops;Initial Catalog=\"a  b\"", "",
                                  password);
        ADD_FAILURE() << "accepted";
    } catch (const EDbError& e) {
        EXPECT_NE(std::string(e.what()).find("database name"), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).find("Gen}"), std::string::npos);
    }
}

// FreeTDS's configuration reader skips blanks at the ends of a value and folds a tab, a
// vertical tab, a form feed or a run of blanks inside it into one blank: such a value would
// arrive altered, so it is refused, as a ";" is.
TEST(ConfigValue, WhatTheReaderWouldAlterIsRefused) {
    const struct {
        std::string Value;
        const char* Problem; // part of the reason; nullptr: written as it is
    } cases[] = {
        {"SQL 2019", nullptr},
        {"/etc/db/my ca.pem", nullptr},
        {"SQL  2019", "two blanks"},
        {"SQL\t2019", "tab"},
        {"SQL \t2019", "tab"},
        {"/etc/db/ca\v.pem", "vertical tab"},
        {"\vSQL", "begin or end with a blank"},
        {"SQL\f", "begin or end with a blank"},
        {"\t/etc/ca.pem", "begin or end with a blank"},
        {"/etc/ca.pem\v", "begin or end with a blank"},
        {"a;b", "\";\""},
        {"a#b", "\"#\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Value);
        const std::string problem = ConfigValueProblem(c.Value);
        if (c.Problem == nullptr) {
            EXPECT_EQ(problem, "");
        } else {
            EXPECT_NE(problem.find(c.Problem), std::string::npos) << problem;
        }
    }
}

} // namespace
