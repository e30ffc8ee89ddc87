// Logins whose passwords hold what connection strings treat specially, against simulator
// logins with exactly those passwords: stored in the connection string, and typed in the login
// dialog.
#include "ConnectionStringReaders.h"
#include "MonitorTestSupport.h"

#include <QTemporaryDir>
#include <fstream>

using connstr_readers::OleDbQuoted;
using monitortest::MonitorTest;
using tallyvane::testsupport::TdsSimProcess;

namespace {

const struct {
    const char* User;
    const char* Password;
} Logins[] = {
    {"close1", "a}b"},
    {"close2", "ab}"},
    {"close3", "}}"},
    {"open", "{ab"},
    {"semi", "a;b"},
    {"equals", "a=b"},
    {"quotes", "\"q'"},
    {"blanks", "  sp  "},
    {"utf8", "p\xC3\xA4\xE2\x82\xAC\xC3\x9F"},
    {"inject", "x}DRIVER=/tmp/lib.so"},
};

// Passwords that no connection string carries to both the driver manager and FreeTDS: "}"
// together with ";" or a leading "{". They are refused by name, never sent another way.
const struct {
    const char* User;
    const char* Password;
} Refused[] = {{"both", "{a}b}"}, {"closesemi", "a};b"}};

// The scenario's login section, with the password escaped for the scenario file.
std::string LoginSection(const char* user, const std::string& password) {
    std::string escaped;
    for (char c : password) {
        if (c == '"' || c == '\\') {
            escaped += '\\';
        }
        escaped += c;
    }
    return std::string("[login]\nname = ") + user + "\npassword = \"" + escaped +
           "\"\nsysadmin = yes\n";
}

std::string ScenarioFile(const QTemporaryDir& dir) {
    const std::string path = dir.filePath("logins.ini").toStdString();
    std::ofstream out(path);
    for (const auto& login : Logins) {
        out << LoginSection(login.User, login.Password);
    }
    for (const auto& login : Refused) {
        out << LoginSection(login.User, login.Password);
    }
    return path;
}

class AwkwardPasswordTest : public MonitorTest {
protected:
    TServerInfo Server(const std::string& credentials) const {
        TServerInfo info;
        info.Name = "SRV1";
        info.Enabled = true;
        info.ConnectionString = "Provider=SQLOLEDB.1;" + credentials + "Data Source=127.0.0.1," +
                                std::to_string(Sim.port());
        info.Timeout = 5;
        return info;
    }

    QTemporaryDir Dir;
    TdsSimProcess Sim{ScenarioFile(Dir)};
};

TEST_F(AwkwardPasswordTest, StoredInTheConnectionString) {
    for (const auto& login : Logins) {
        SCOPED_TRACE(login.User);
        TServerData server(Owner,
                           Server(std::string("Persist Security Info=True;User ID=") + login.User +
                                  ";Password=" + OleDbQuoted(login.Password) + ";"));
        ASSERT_FALSE(server.NeedsLogin);
        EXPECT_TRUE(monitortest::RefreshAndWait(server));
        EXPECT_TRUE(server.IsSysAdmin);
        EXPECT_NE(server.State, 2);
        for (const auto& e : Owner.Errors) {
            ADD_FAILURE() << e.Message;
        }
        Owner.Errors.clear();
    }
}

TEST_F(AwkwardPasswordTest, TypedInTheLoginDialog) {
    for (const auto& login : Logins) {
        SCOPED_TRACE(login.User);
        int asked = 0;
        LoginDialog = [&](const std::string&, std::string& user, std::string& password) {
            ++asked;
            user = login.User;
            password = login.Password;
            return asked == 1; // a second ask means the first answer failed: cancel
        };
        TServerData server(Owner, Server(std::string("User ID=") + login.User + ";"));
        EXPECT_EQ(asked, 1);
        EXPECT_TRUE(server.Enabled);
        EXPECT_TRUE(server.ADOConnection.Connected());
        for (const auto& shown : Shown) {
            ADD_FAILURE() << shown;
        }
        Shown.clear();
    }
}

TEST_F(AwkwardPasswordTest, PasswordsNoStringCarriesAreRefusedByName) {
    for (const auto& login : Refused) {
        SCOPED_TRACE(login.User);
        TServerData server(Owner,
                           Server(std::string("Persist Security Info=True;User ID=") + login.User +
                                  ";Password=" + OleDbQuoted(login.Password) + ";"));
        EXPECT_TRUE(monitortest::RefreshAndWait(server));
        bool named = false;
        for (const auto& e : Owner.Errors) {
            named = named || e.Message.find("The value of PWD") != std::string::npos;
            EXPECT_EQ(e.Message.find(login.Password), std::string::npos) << e.Message;
        }
        EXPECT_TRUE(named);
        Owner.Errors.clear();
    }
    for (const auto& entry : Sim.logEntries()) {
        EXPECT_NE(entry.at("event"), "login") << "no login may be attempted";
    }
}

} // namespace
