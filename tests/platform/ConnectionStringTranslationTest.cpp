// OLE DB connection strings as users write them, and the ODBC strings the driver gets.
#include "DbTypes.h"
#include "OdbcConnectionString.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* OleDb;
    const char* User;     // from the will-connect handler
    const char* Password; // from the will-connect handler
    const char* Odbc;     // expected; nullptr when an error is expected
    const char* Error;    // part of the expected error
};

#define FREETDS(server)                                                                            \
    "Driver={FreeTDS};" server "TDS_Version=7.4;ClientCharset=UTF-8;PacketSize=32767;APP="         \
                               "Tallyvane;"

const Case Cases[] = {
    {"Provider=SQLOLEDB.1;Data Source=db1;User ID=sa;Password=pw;Persist Security Info=True", "",
     "", FREETDS("Server=db1;Port=1433;") "UID=sa;PWD=pw;", nullptr},
    {"Data Source=db1,14330;Initial Catalog=Sales", "", "",
     FREETDS("Server=db1;Port=14330;") "Database=Sales;", nullptr},
    {"Data Source=db1\\SQL2019", "", "", FREETDS("Server=db1\\SQL2019;"), nullptr},
    {"Data Source=db1\\SQL2019,1500", "", "", FREETDS("Server=db1;Port=1500;"), nullptr},
    {"Data Source=tcp:db1,1501", "", "", FREETDS("Server=db1;Port=1501;"), nullptr},
    {"Data Source=(local)", "", "", FREETDS("Server=127.0.0.1;Port=1433;"), nullptr},
    {"Data Source=.", "", "", FREETDS("Server=127.0.0.1;Port=1433;"), nullptr},
    {"Server=LOCALHOST,2000", "", "", FREETDS("Server=127.0.0.1;Port=2000;"), nullptr},
    {"data source = db1 ; user id = sa ; password = ' p;w '' x '", "", "",
     FREETDS("Server=db1;Port=1433;") "UID=sa;PWD={ p;w ' x };", nullptr},
    {"Data Source=db1;User ID=old;Password=old", "new", "p}w",
     FREETDS("Server=db1;Port=1433;") "UID=new;PWD={p}}w};", nullptr},
    {"Data Source=db1;Database=HR;Workstation ID=ws7", "", "",
     FREETDS("Server=db1;Port=1433;") "Database=HR;WSID=ws7;", nullptr},
    {"Data Source=db1;Integrated Security=SSPI;User ID=ignored", "", "",
     FREETDS("Server=db1;Port=1433;") "Trusted_Connection=Yes;", nullptr},
    {"Data Source=db1;Use Encryption for Data=True", "", "",
     FREETDS("Server=db1;Port=1433;") "Encryption=require;", nullptr},
    {"Data Source=db1;Encrypt=strict", "", "",
     FREETDS("Server=db1;Port=1433;") "Encryption=strict;", nullptr},
    {"Data Source=db1;Encrypt=no", "", "", FREETDS("Server=db1;Port=1433;") "Encryption=request;",
     nullptr},
    {"Driver={ODBC Driver 18 for SQL Server};Data Source=db1,1433;User ID=sa;Encrypt=yes;"
     "TrustServerCertificate=True",
     "", "",
     "Driver={ODBC Driver 18 for SQL Server};Server=tcp:db1,1433;APP=Tallyvane;UID=sa;"
     "Encrypt=yes;TrustServerCertificate=yes;",
     nullptr},
    {"Driver={ODBC Driver 18 for SQL Server};Data Source=db1\\INST", "", "",
     "Driver={ODBC Driver 18 for SQL Server};Server=db1\\INST;APP=Tallyvane;", nullptr},
    {"Provider=SQLOLEDB.1;User ID=sa", "", "", nullptr, "names no server"},
    {"Data Source=db1,99999", "", "", nullptr, "Invalid port"},
    {"Data Source=db1,abc", "", "", nullptr, "Invalid port"},
    {"Data Source=np:\\\\db1\\pipe\\sql\\query", "", "", nullptr, "Only TCP"},
    {"Data Source=db1;Password='open", "", "", nullptr, "Unterminated quote"},
    {"Data Source=db1;Connect Timeout=soon", "", "", nullptr, "Connect Timeout"},
    {"Data Source=db1;Encrypt=maybe", "", "", nullptr, "Encrypt"},
};

TEST(ConnectionStringTranslation, Table) {
    for (const Case& c : Cases) {
        SCOPED_TRACE(c.OleDb);
        if (c.Odbc != nullptr) {
            EXPECT_EQ(TranslateConnectionString(c.OleDb, c.User, c.Password).OdbcString, c.Odbc);
        } else {
            try {
                TranslateConnectionString(c.OleDb, c.User, c.Password);
                ADD_FAILURE() << "expected an error";
            } catch (const EDbError& e) {
                EXPECT_NE(std::string(e.what()).find(c.Error), std::string::npos) << e.what();
            }
        }
    }
}

TEST(ConnectionStringTranslation, ConnectTimeoutAndDriverAreReported) {
    const TOdbcConnectInfo info =
        TranslateConnectionString("Data Source=db1;Connect Timeout=42", "", "");
    EXPECT_EQ(info.ConnectTimeout, 42u);
    EXPECT_EQ(info.DriverName, "FreeTDS");
    EXPECT_FALSE(TranslateConnectionString("Data Source=db1", "", "").ConnectTimeout.has_value());
}

TEST(ConnectionStringTranslation, PasswordNeverAppearsInErrors) {
    try {
        TranslateConnectionString("Password=Secret-123;Data Source=db1,0", "", "");
        FAIL();
    } catch (const EDbError& e) {
        EXPECT_EQ(std::string(e.what()).find("Secret-123"), std::string::npos);
    }
}

} // namespace
