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
// together with ";" or a leading "{" (generated passwords hold both), or characters the
// driver manager reads by their low byte as "}" and ";" (U+017D, U+013B). They travel in
// SQLConnect's own arguments, which no parser reads.
const struct {
    const char* User;
    const char* Password;
} Apart[] = {{"both", "{a}b}"},
             {"closesemi", "a};b"},
             {"generated", "Gen};p{w}}x;"},
             {"disguised", "x\xC5\xBD\xC4\xBB"
                           "DRIVER=/tmp/lib.so\xC4\xBB"}};

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
    for (const auto& login : Apart) {
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

TEST_F(AwkwardPasswordTest, PasswordsNoStringCarriesLogInApart) {
    for (const auto& login : Apart) {
        SCOPED_TRACE(login.User);
        TServerData stored(Owner,
                           Server(std::string("Persist Security Info=True;User ID=") + login.User +
                                  ";Password=" + OleDbQuoted(login.Password) + ";"));
        EXPECT_TRUE(monitortest::RefreshAndWait(stored));
        EXPECT_TRUE(stored.IsSysAdmin);
        EXPECT_NE(stored.State, 2);
        int asked = 0;
        LoginDialog = [&](const std::string&, std::string& user, std::string& password) {
            ++asked;
            user = login.User;
            password = login.Password;
            return asked == 1;
        };
        TServerData typed(Owner, Server(std::string("User ID=") + login.User + ";"));
        EXPECT_EQ(asked, 1);
        EXPECT_TRUE(typed.ADOConnection.Connected());
        for (const auto& e : Owner.Errors) {
            ADD_FAILURE() << e.Message;
        }
        Owner.Errors.clear();
        for (const auto& shown : Shown) {
            ADD_FAILURE() << shown;
        }
        Shown.clear();
    }
    for (const auto& entry : Sim.logEntries()) {
        EXPECT_NE(entry.at("event"), "login-failed") << entry.at("user");
    }
}

} // namespace
