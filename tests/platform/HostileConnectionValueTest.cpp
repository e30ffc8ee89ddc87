// Hostile values in every field a connection string carries, through the real driver manager
// and FreeTDS to a real tdssim: what the server sees is exactly what was written, with the
// application name and workstation ID, or the connect is refused naming the key and never
// reaches the network.
#include "ConnectionStringReaders.h"
#include "DbConnection.h"
#include "TdsSimProcess.h"

#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using connstr_readers::OleDbQuoted;
using tallyvane::testsupport::SimLogEntry;
using tallyvane::testsupport::TdsSimProcess;
using namespace std::string_literals;

namespace {

struct Hostile {
    std::string Value;
    bool Carried; // false: no connection string can carry it, the connect is refused
};

const std::vector<Hostile> Values = {
    {"x}DRIVER=/tmp/lib.so", true},
    {"a};DSN=x", false},
    {"{", true},
    {"}", true},
    {";", true},
    {"=", true},
    {"a}b;FILEDSN=/tmp/f", false},
    {"{a}", false},
    {"x}SAVEFILE=/tmp/s", true},
    {"n\0l;Encryption=require"s, false},
    {"  lead", true},
    {"trail  ", true},
    {"p\xC3\xA4\xE2\x82\xAC\xC3\x9F\xF0\x9F\x98\x80", true},
};

// A value for the scenario file: in double quotes, backslash-escaped.
std::string SimQuoted(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

std::string Scenario(const QTemporaryDir& dir) {
    const std::string path = dir.filePath("hostile.ini").toStdString();
    std::ofstream out(path);
    out << "[login]\nname = sa\npassword = \"Sim-Admin-1\"\nsysadmin = yes\n";
    out << "[database]\nid = 1\nname = master\n";
    int i = 0;
    for (const Hostile& h : Values) {
        if (!h.Carried) {
            continue;
        }
        // A login named by the value, and one whose password is the value.
        out << "[login]\nname = " << SimQuoted(h.Value) << "\npassword = \"pw\"\n";
        out << "[login]\nname = pw" << i << "\npassword = " << SimQuoted(h.Value) << "\n";
        out << "[database]\nid = " << (10 + i) << "\nname = " << SimQuoted(h.Value) << "\n";
        ++i;
    }
    return path;
}

class HostileConnectionValueTest : public ::testing::Test {
protected:
    // Connects with the string; returns the error text ("" on success).
    std::string Connect(const std::string& oleDb, const std::string& user = "",
                        const std::string& password = "") {
        TDbConnection c;
        c.ConnectionString = oleDb;
        c.ConnectionTimeout = 5;
        c.OnWillConnect = [&](TDbConnection&, std::string&, std::string& u, std::string& p,
                              TConnectOption&, TEventStatus&) {
            u = user;
            p = password;
        };
        try {
            c.Open();
        } catch (const EDbError& e) {
            return e.what();
        }
        c.Close();
        return {};
    }

    std::string Base() const {
        return "Provider=SQLOLEDB.1;Data Source=127.0.0.1," + std::to_string(Sim.port()) + ";";
    }

    // The login entries logged since the last call.
    std::vector<SimLogEntry> NewLogins() {
        std::vector<SimLogEntry> logins;
        const std::vector<SimLogEntry> all = Sim.logEntries();
        for (std::size_t i = Seen; i < all.size(); ++i) {
            if (all[i].at("event") == "login") {
                logins.push_back(all[i]);
            }
        }
        Seen = all.size();
        return logins;
    }

    // A refused value: the message names the key, and no login was attempted.
    void ExpectRefused(const std::string& error, const std::string& key,
                       const std::string& oleDbKey) {
        EXPECT_TRUE(error.find("The value of " + key) != std::string::npos ||
                    error.find("The value of " + oleDbKey) != std::string::npos)
            << error;
        EXPECT_TRUE(NewLogins().empty());
    }

    // One login arrived, with the application name and workstation ID written.
    SimLogEntry ExpectOneLogin(const std::string& error, const std::string& wsid = "ws-7") {
        EXPECT_EQ(error, "");
        const std::vector<SimLogEntry> logins = NewLogins();
        EXPECT_EQ(logins.size(), 1u);
        if (logins.empty()) {
            return {};
        }
        EXPECT_EQ(logins[0].at("app"), "Tallyvane");
        EXPECT_EQ(logins[0].at("host"), wsid);
        return logins[0];
    }

    QTemporaryDir Dir;
    TdsSimProcess Sim{Scenario(Dir)};
    std::size_t Seen = 0;
};

TEST_F(HostileConnectionValueTest, PasswordStoredOrTyped) {
    int i = 0;
    for (const Hostile& h : Values) {
        SCOPED_TRACE(h.Value);
        const std::string user = h.Carried ? "pw" + std::to_string(i++) : "pwx";
        const std::string stored = Connect(Base() + "Workstation ID=ws-7;User ID=" + user +
                                           ";Password=" + OleDbQuoted(h.Value));
        const std::string typed = Connect(Base() + "Workstation ID=ws-7", user, h.Value);
        for (const std::string& error : {stored, typed}) {
            if (!h.Carried) {
                EXPECT_TRUE(error.find("The value of PWD") != std::string::npos ||
                            error.find("The value of Password") != std::string::npos)
                    << error;
                continue;
            }
            EXPECT_EQ(error, "");
        }
        const std::vector<SimLogEntry> all = Sim.logEntries();
        std::vector<SimLogEntry> oks;
        for (std::size_t k = Seen; k < all.size(); ++k) {
            if (all[k].at("event") == "login") {
                EXPECT_EQ(all[k].at("app"), "Tallyvane");
                EXPECT_EQ(all[k].at("host"), "ws-7");
            }
            if (all[k].at("event") == "login-ok") {
                oks.push_back(all[k]);
            }
            EXPECT_NE(all[k].at("event"), "login-failed") << all[k].at("reason");
        }
        Seen = all.size();
        // The password matched exactly: the simulator compares it byte for byte.
        EXPECT_EQ(oks.size(), h.Carried ? 2u : 0u);
    }
}

TEST_F(HostileConnectionValueTest, UserName) {
    for (const Hostile& h : Values) {
        SCOPED_TRACE(h.Value);
        const std::string error =
            Connect(Base() + "Workstation ID=ws-7;Password=pw;User ID=" + OleDbQuoted(h.Value));
        if (!h.Carried) {
            ExpectRefused(error, "UID", "User ID");
            continue;
        }
        EXPECT_EQ(ExpectOneLogin(error)["user"], h.Value);
    }
}

TEST_F(HostileConnectionValueTest, Database) {
    for (const Hostile& h : Values) {
        SCOPED_TRACE(h.Value);
        const std::string error =
            Connect(Base() + "Workstation ID=ws-7;Initial Catalog=" + OleDbQuoted(h.Value), "sa",
                    "Sim-Admin-1");
        if (!h.Carried) {
            ExpectRefused(error, "Database", "Initial Catalog");
            continue;
        }
        EXPECT_EQ(ExpectOneLogin(error)["database"], h.Value);
    }
}

TEST_F(HostileConnectionValueTest, WorkstationId) {
    for (const Hostile& h : Values) {
        SCOPED_TRACE(h.Value);
        const std::string error =
            Connect(Base() + "Workstation ID=" + OleDbQuoted(h.Value), "sa", "Sim-Admin-1");
        if (!h.Carried) {
            ExpectRefused(error, "WSID", "Workstation ID");
            continue;
        }
        ExpectOneLogin(error, h.Value);
    }
}

// A host cannot be looked up, but it must never choose the driver or a data source: the
// failure is FreeTDS's own, and nothing reaches the simulator.
TEST_F(HostileConnectionValueTest, Host) {
    for (const Hostile& h : Values) {
        SCOPED_TRACE(h.Value);
        const std::string error = Connect("Provider=SQLOLEDB.1;Connect Timeout=3;Data Source=" +
                                              OleDbQuoted(h.Value + ",1"),
                                          "sa", "Sim-Admin-1");
        ASSERT_NE(error, "");
        if (!h.Carried) {
            EXPECT_TRUE(error.find("The value of Server") != std::string::npos ||
                        error.find("The value of Data Source") != std::string::npos)
                << error;
        } else {
            EXPECT_EQ(error.find("Can't open lib"), std::string::npos) << error;
            EXPECT_EQ(error.find("Data source name"), std::string::npos) << error;
            EXPECT_EQ(error.find("The value of"), std::string::npos) << error;
        }
        EXPECT_TRUE(NewLogins().empty());
    }
}

} // namespace
