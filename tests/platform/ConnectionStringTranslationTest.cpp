// OLE DB connection strings as users write them, and the ODBC strings the driver gets.
#include "DbTypes.h"
#include "FreeTdsConfig.h"
#include "OdbcConnectionString.h"

#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/stat.h>

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
     FREETDS("Server=db1;Port=1433;") "UID=new;PWD=p}w;", nullptr},
    {"Data Source=db1;Database=HR;Workstation ID=ws7", "", "",
     FREETDS("Server=db1;Port=1433;") "Database=HR;WSID=ws7;", nullptr},
    {"Data Source=db1;Integrated Security=SSPI;User ID=ignored", "", "",
     FREETDS("Server=db1;Port=1433;") "Trusted_Connection=Yes;", nullptr},
    // Only the spelling that spares the login dialog means integrated security, and what the
    // dialog asked for is never dropped.
    {"Data Source=db1;Integrated Security=SSPI", "sa", "pw",
     FREETDS("Server=db1;Port=1433;") "UID=sa;PWD=pw;", nullptr},
    {"Data Source=db1;Integrated Security=True", "sa", "pw",
     FREETDS("Server=db1;Port=1433;") "UID=sa;PWD=pw;", nullptr},
    {"Data Source=db1;Integrated Security = SSPI", "sa", "pw",
     FREETDS("Server=db1;Port=1433;") "UID=sa;PWD=pw;", nullptr},
    {"Data Source=db1;Trusted_Connection=Yes", "sa", "pw",
     FREETDS("Server=db1;Port=1433;") "UID=sa;PWD=pw;", nullptr},
    // Encryption without a certificate check needs no configuration section.
    {"Data Source=db1;Use Encryption for Data=True;Trust Server Certificate=True", "", "",
     FREETDS("Server=db1;Port=1433;") "Encryption=require;", nullptr},
    {"Data Source=db1;Encrypt=mandatory;TrustServerCertificate=yes", "", "",
     FREETDS("Server=db1;Port=1433;") "Encryption=require;", nullptr},
    {"Data Source=db1;TrustServerCertificate=yes", "", "", FREETDS("Server=db1;Port=1433;"),
     nullptr},
    {"Data Source=db1;Encrypt=strict", "", "", nullptr, "needs FreeTDS 1.5 or later"},
    {"Data Source=db1;Encrypt=yes;HostNameInCertificate=db1.corp.example", "", "", nullptr,
     "cannot be honoured by the FreeTDS driver"},
    {"Data Source=db1;Encrypt=yes;TrustServerCertificate=maybe", "", "", nullptr,
     "TrustServerCertificate"},
    {"Data Source=db1;Encrypt=no", "", "", FREETDS("Server=db1;Port=1433;") "Encryption=request;",
     nullptr},
    {"Driver={ODBC Driver 18 for SQL Server};Data Source=db1,1433;User ID=sa;Encrypt=yes;"
     "TrustServerCertificate=True",
     "", "",
     "Driver={ODBC Driver 18 for SQL Server};Server=tcp:db1,1433;ClientCharset=UTF-8;"
     "APP=Tallyvane;UID=sa;Encrypt=yes;TrustServerCertificate=yes;",
     nullptr},
    // Without Encrypt the newer Microsoft drivers would encrypt and check the certificate;
    // the OLE DB default is no encryption. Their braces double "}".
    {"Driver={ODBC Driver 18 for SQL Server};Data Source=db1\\INST", "", "",
     "Driver={ODBC Driver 18 for SQL Server};Server=db1\\INST;ClientCharset=UTF-8;"
     "APP=Tallyvane;Encrypt=no;",
     nullptr},
    {"Driver={ODBC Driver 18 for SQL Server};Data Source=db1;User ID=sa", "", "p}w;",
     "Driver={ODBC Driver 18 for SQL Server};Server=tcp:db1;ClientCharset=UTF-8;"
     "APP=Tallyvane;UID=sa;PWD={p}}w;};Encrypt=no;",
     nullptr},
    {"Driver={My}Driver;Server=evil};Data Source=db1", "", "", nullptr, "Invalid driver name"},
    {"Driver=\"x};UID=evil\";Data Source=db1", "", "", nullptr, "Invalid driver name"},
    {"Provider=SQLOLEDB.1;User ID=sa", "", "", nullptr, "names no server"},
    {"Data Source=db1,99999", "", "", nullptr, "Invalid port"},
    {"Data Source=db1,abc", "", "", nullptr, "Invalid port"},
    {"Data Source=np:\\\\db1\\pipe\\sql\\query", "", "", nullptr, "Only TCP"},
    {"Data Source=db1;Password='open", "", "", nullptr, "Unterminated quote"},
    {"Data Source=db1;Connect Timeout=soon", "", "", nullptr, "Connect Timeout"},
    {"Data Source=db1;Encrypt=maybe", "", "", nullptr, "Encrypt"},
    {"FILE NAME=/nonexistent/x.udl", "", "", nullptr, "Cannot read the data link file"},
    {"Data Source=db1;Initial Catalog=\"a};b\"", "", "", nullptr, "would read differently"},
    {"Data Source=db1;Password=pw", "", "", nullptr, "no user name"},
    {"Data Source=db1;User ID=sa", "", "", FREETDS("Server=db1;Port=1433;") "UID=sa;", nullptr},
    // A name the driver manager does not know it loads as a library path.
    {"Driver=/tmp/lib.so;Data Source=db1", "", "", nullptr, "not a path"},
};

// What both the unixODBC driver manager and FreeTDS 1.3 read back (checked against real
// logins in the monitor tests and the connection tests): braces only for a value without "}",
// and a value that neither form carries cannot be written.
TEST(ConnectionStringTranslation, FreeTdsQuoting) {
    const struct {
        const char* Value;
        const char* Quoted; // nullptr: cannot be written
    } cases[] = {
        {"plain", "plain"},
        {"", ""},
        {"a}b", "a}b"},
        {"ab}", "ab}"},
        {"}}", "}}"},
        {"}", "}"},
        {"x}DRIVER=/tmp/lib.so", "x}DRIVER=/tmp/lib.so"},
        {"{ab", "{{ab}"},
        {"a;b", "{a;b}"},
        {"a=b", "{a=b}"},
        {"\"q'", "\"q'"},
        {" sp ", "{ sp }"},
        {" s}p ", " s}p "},
        {"p\xC3\xA4", "p\xC3\xA4"},
        {"a};b", nullptr},
        {"a};DSN=x", nullptr},
        {"};", nullptr},
        {"{a}", nullptr},
        {"a;b}", nullptr},
        // Beyond ASCII the driver manager reads each character's low byte: U+017D as "}",
        // U+013B as ";", U+017B as "{", U+0100 as a NUL (the end of its copy), and the
        // surrogates of U+1F47D as "=" and "}".
        {"x\xC5\xBD", "x\xC5\xBD"},
        {"a\xC4\xBB"
         "b",
         "{a\xC4\xBB"
         "b}"},
        {"\xC5\xBB"
         "ab",
         "{\xC5\xBB"
         "ab}"},
        {"a\xC4\x80"
         "b",
         "a\xC4\x80"
         "b"},
        {"x\xC5\xBD\xC4\xBB"
         "DRIVER=/tmp/lib.so\xC4\xBB",
         nullptr},
        {"x}DRIVER=/tmp/lib.so\xC4\xBB", nullptr},
        {"a;\xC5\xBD", nullptr},
        {"a;\xF0\x9F\x91\xBD", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Value);
        const std::optional<std::string> quoted = FreeTdsQuote(c.Value);
        if (c.Quoted == nullptr) {
            EXPECT_FALSE(quoted.has_value());
        } else {
            EXPECT_EQ(quoted.value_or("(none)"), c.Quoted);
        }
    }
}

// What no form of the string carries is refused with the key named and the value kept out of
// the message. Only the credentials go around the string (SQLConnect's own arguments); the
// other values would have nowhere else to go.
TEST(ConnectionStringTranslation, ValuesNoFormCarriesAreRefusedByName) {
    const struct {
        const char* OleDb;
        const char* User;
        const char* Password;
        const char* Key;
    } cases[] = {
        {"Data Source=db1;Initial Catalog=\"a};b\"", "", "", "Database"},
        {"Data Source=db1;Initial Catalog=\"a\xC5\xBD\xC4\xBB"
         "DSN=x\"",
         "", "", "Database"},
        {"Data Source=db1;Workstation ID=\"w\xC5\xBD\xC4\xBBSAVEFILE=/tmp/x\"", "", "", "WSID"},
        {"Data Source=\"h\xC5\xBD\xC4\xBB"
         "DRIVER=x\"",
         "", "", "Server"},
        {"Data Source=db1;Workstation ID=\"w};SAVEFILE=/tmp/x\"", "", "", "WSID"},
        {"Data Source=\"{h};DRIVER=x\"", "", "", "Server"},
        {"Data Source=db1;User ID=sa;Password=\"a\xFF\"", "", "", "PWD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.OleDb);
        try {
            TranslateConnectionString(c.OleDb, c.User, c.Password);
            ADD_FAILURE() << "expected an error";
        } catch (const EDbError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(std::string("The value of ") + c.Key + " "), std::string::npos)
                << what;
            EXPECT_EQ(what.find("DSN=x"), std::string::npos) << what;
        }
    }
}

// A NUL would end the wide string at the connect call and silently drop every later key.
TEST(ConnectionStringTranslation, NulAnywhereIsRefused) {
    using namespace std::string_literals;
    const struct {
        std::string OleDb;
        std::string User;
        std::string Password;
        const char* Error;
    } cases[] = {
        {"Data Source=db1;Password=p\0w;Encrypt=yes;TrustServerCertificate=yes"s, "", "",
         "The value of Password holds a NUL"},
        {"Data Source=db1;User ID=sa"s, "", "p\0w"s, "The value of Password holds a NUL"},
        {"Data Source=db1"s, "s\0a"s, "pw", "The value of User ID holds a NUL"},
        {"Data Source=db\0;Encrypt=yes"s, "", "", "The value of Data Source holds a NUL"},
        {"Provider=\0;Data Source=db1"s, "", "", "The value of Provider holds a NUL"},
        {"Data Source=db1;\0"s, "", "", "NUL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Error);
        try {
            TranslateConnectionString(c.OleDb, c.User, c.Password);
            ADD_FAILURE() << "expected an error";
        } catch (const EDbError& e) {
            EXPECT_NE(std::string(e.what()).find(c.Error), std::string::npos) << e.what();
        }
    }
}

TEST(ConnectionStringTranslation, DataLinkFileGivesTheConnectionString) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("db1.udl").toStdString();
    std::string bytes = "\xFF\xFE";
    for (char ch : std::string("[oledb]\r\n; Everything after this line is an OLE DB initstring"
                               "\r\nProvider=SQLOLEDB.1;Persist Security Info=False;"
                               "User ID=ops;Data Source=db1,14330;Initial Catalog=HR\r\n")) {
        bytes += ch;
        bytes += '\0';
    }
    std::ofstream(path, std::ios::binary) << bytes;
    // As the monitor hands it over: the application name appended.
    const std::string text = "FILE NAME=" + path + ";Application Name=Tallyvane";
    EXPECT_EQ(TranslateConnectionString(text, "", "pw").OdbcString,
              FREETDS("Server=db1;Port=14330;") "UID=ops;PWD=pw;Database=HR;");
    EXPECT_EQ(TranslateConnectionString(text, "other", "pw").OdbcString,
              FREETDS("Server=db1;Port=14330;") "UID=other;PWD=pw;Database=HR;");
}

// A UTF-16 data link file can hold U+0000 inside a value; the keys after it (encryption
// included) must not be dropped at the connect call.
TEST(ConnectionStringTranslation, DataLinkFileWithNulIsRefused) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("nul.udl").toStdString();
    std::string bytes = "\xFF\xFE";
    for (char ch : std::string("[oledb]\r\n; Everything after this line is an OLE DB initstring"
                               "\r\nData Source=db1;User ID=sa;Password=p")) {
        bytes += ch;
        bytes += '\0';
    }
    bytes += std::string(2, '\0'); // U+0000
    for (char ch : std::string("w;Use Encryption for Data=True\r\n")) {
        bytes += ch;
        bytes += '\0';
    }
    std::ofstream(path, std::ios::binary) << bytes;
    try {
        TranslateConnectionString("FILE NAME=" + path, "", "");
        ADD_FAILURE() << "expected an error";
    } catch (const EDbError& e) {
        EXPECT_NE(std::string(e.what()).find("The value of Password holds a NUL"),
                  std::string::npos)
            << e.what();
    }
}

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
    // 0 would mean "wait for ever": the connection's own limit applies instead.
    EXPECT_FALSE(TranslateConnectionString("Data Source=db1;Connect Timeout=0", "", "")
                     .ConnectTimeout.has_value());
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

// FreeTDS checks a certificate only through a section of its configuration file: the
// translation writes one of its own, never with the password, readable by the user alone.
TEST(ConnectionStringTranslation, CertificateCheckGoesThroughAPrivateConfigurationSection) {
    const TOdbcConnectInfo info = TranslateConnectionString(
        "Data Source=db1,14330;Encrypt=yes;ServerCertificate=/etc/db/ca.pem;User ID=sa", "sa",
        "Secret-Pw-1");
    const std::string& odbc = info.OdbcString;
    const std::size_t at = odbc.find("Servername=tallyvane-");
    ASSERT_NE(at, std::string::npos) << odbc;
    EXPECT_EQ(odbc.find("Server="), std::string::npos) << odbc; // FreeTDS allows one of them
    EXPECT_NE(odbc.find("Encryption=require;"), std::string::npos) << odbc;
    const std::string section = odbc.substr(at + 11, odbc.find(';', at) - at - 11);

    const std::string path = FreeTdsConfigPath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(std::string(std::getenv("FREETDSCONF") ? std::getenv("FREETDSCONF") : ""), path);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find("Secret-Pw-1"), std::string::npos);
    const std::size_t begin = text.find("[" + section + "]");
    ASSERT_NE(begin, std::string::npos) << text;
    const std::string body = text.substr(begin, text.find("\n[", begin + 1) - begin);
    for (const char* line : {"host = db1", "port = 14330", "encryption = require",
                             "ca file = /etc/db/ca.pem", "check certificate hostname = yes"}) {
        EXPECT_NE(body.find(line), std::string::npos) << line << " in\n" << body;
    }

    // The same settings share a section; another CA gets one of its own, the first kept.
    EXPECT_EQ(TranslateConnectionString("Data Source=db1,14330;Encrypt=yes;ServerCertificate="
                                        "/etc/db/ca.pem",
                                        "viewer", "pw")
                  .OdbcString.find(section),
              at + 11);
    const std::string other =
        TranslateConnectionString("Data Source=db1,14330;Use Encryption for Data=True", "", "")
            .OdbcString;
    EXPECT_EQ(other.find(section), std::string::npos);
    std::ifstream again(path);
    const std::string after((std::istreambuf_iterator<char>(again)),
                            std::istreambuf_iterator<char>());
    EXPECT_NE(after.find("[" + section + "]"), std::string::npos);
    EXPECT_NE(after.find("ca file = system"), std::string::npos);
}
