// Entra ID sign-in and the other keywords of Microsoft's ODBC driver: passed through as written
// to that driver, refused by name with FreeTDS, and under the same rules as every value.
#include "MicrosoftDriverKeywords.h"

#include "DbTypes.h"
#include "OdbcConnectionString.h"

#include <gtest/gtest.h>

namespace {

#define MS18 "Driver={ODBC Driver 18 for SQL Server};"

TEST(MicrosoftDriverKeywords, PassedThroughToMicrosoftsDriverAsWritten) {
    struct Case {
        const char* OleDb;
        const char* Expected; // the tail of the ODBC string after ClientCharset
    } cases[] = {
        {MS18 "Data Source=srv.database.windows.net;Initial Catalog=Sales;User ID=me@corp.example;"
              "Password=pw;Authentication=ActiveDirectoryPassword",
         "APP=Tallyvane;UID=me@corp.example;PWD=pw;Database=Sales;Encrypt=no;"
         "Authentication=ActiveDirectoryPassword;"},
        {"Provider=MSOLEDBSQL;Driver={ODBC Driver 17 for SQL Server};Data Source=srv;"
         "authentication=ActiveDirectoryMsi;ApplicationIntent=ReadOnly;MultiSubnetFailover=Yes",
         "APP=Tallyvane;Encrypt=no;Authentication=ActiveDirectoryMsi;ApplicationIntent=ReadOnly;"
         "MultiSubnetFailover=Yes;"},
        // A value with ";" is braced, as every value is: it cannot add a keyword.
        {MS18 "Data Source=srv;Authentication=\"ActiveDirectoryInteractive;DSN=x\"",
         "APP=Tallyvane;Encrypt=no;Authentication={ActiveDirectoryInteractive;DSN=x};"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.OleDb);
        const std::string odbc = TranslateConnectionString(c.OleDb, "", "").OdbcString;
        const std::string tail = c.Expected;
        ASSERT_GE(odbc.size(), tail.size()) << odbc;
        EXPECT_EQ(odbc.substr(odbc.find("APP=")), tail) << odbc;
    }
}

TEST(MicrosoftDriverKeywords, FreeTdsRefusesEntraSignInByNamingMicrosoftsDriver) {
    for (const char* oleDb :
         {"Provider=MSOLEDBSQL;Data Source=srv;Authentication=ActiveDirectoryServicePrincipal",
          "Data Source=srv;User ID=a;Password=b;AUTHENTICATION=ActiveDirectoryPassword",
          "Driver={FreeTDS};Data Source=srv;Authentication=ActiveDirectoryMsi"}) {
        SCOPED_TRACE(oleDb);
        try {
            TranslateConnectionString(oleDb, "", "");
            ADD_FAILURE() << "expected an error";
        } catch (const EDbError& e) {
            EXPECT_NE(std::string(e.what()).find("ODBC Driver 18 for SQL Server"),
                      std::string::npos)
                << e.what();
        }
    }
    // The driver's other keywords are ignored with FreeTDS, as before.
    const std::string odbc =
        TranslateConnectionString("Data Source=srv;MultiSubnetFailover=Yes", "", "").OdbcString;
    EXPECT_EQ(odbc.find("MultiSubnetFailover"), std::string::npos) << odbc;
}

TEST(MicrosoftDriverKeywords, OnlyMicrosoftsDriverNamesCount) {
    for (const auto& [name, microsoft] :
         {std::pair{"ODBC Driver 18 for SQL Server", true},
          std::pair{"odbc driver 17 for sql server", true},
          std::pair{"ODBC Driver 13 for SQL Server", false}, std::pair{"SQL Server", false},
          std::pair{"ODBC Driver x for SQL Server", false}, std::pair{"FreeTDS", false}})
        EXPECT_EQ(IsMicrosoftOdbcDriver(name), microsoft) << name;
}

} // namespace
