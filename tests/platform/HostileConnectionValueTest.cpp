// Hostile values in every field a connection string carries, through the real driver manager
// and FreeTDS to a real tdssim: what the server sees is exactly what was written, with the
// application name and workstation ID, or the connect is refused naming the key and never
// reaches the network. User names and passwords that no connection string carries still log
// in, through SQLConnect's own arguments. A value shaped to name a library to the driver
// manager (through characters it reads by their low byte) never gets it loaded: the library
// here leaves a mark when anything loads it.
#include "ConnectionStringReaders.h"
#include "DbConnection.h"
#include "TdsSimProcess.h"

#include <QTemporaryDir>
#include <cstdlib>
#include <dlfcn.h>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

using connstr_readers::OleDbQuoted;
using tallyvane::testsupport::SimLogEntry;
using tallyvane::testsupport::TdsSimProcess;
using namespace std::string_literals;

namespace {

// The library's path with each "/" written as U+012F, which the driver manager reads as "/".
std::string DisguisedPath(const std::string& path) {
    std::string out;
    for (char c : path) {
        out += c == '/' ? std::string("\xC4\xAF") : std::string(1, c);
    }
    return out;
}

const std::string Z = "\xC5\xBD"; // U+017D: "}" to the driver manager
const std::string L = "\xC4\xBB"; // U+013B: ";"

struct Hostile {
    std::string Value;
    bool Carried; // false: no connection string can carry it (credentials travel apart)
};

const std::vector<Hostile>& Values() {
    static const std::string lib = DisguisedPath(TALLYVANE_MARKING_LIBRARY);
    static const std::vector<Hostile> values = {
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
        {"x" + Z + L + "DRIVER=" + lib + L, false},
        {"x" + Z + L + "DRIVER={" + lib + "}" + L + "APP=z", false},
        {"Gen};p{w}}" + Z, false},
        {"p" + L + "q", true},
        {"x" + Z + "y", true},
    };
    return values;
}

bool HasNul(const std::string& value) {
    return value.find('\0') != std::string::npos;
}

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
    for (const Hostile& h : Values()) {
        if (HasNul(h.Value)) {
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
    HostileConnectionValueTest() { ::setenv("TALLYVANE_MARKING_FILE", Mark.c_str(), 1); }

    // Whatever was tried, nothing loaded the library.
    void TearDown() override {
        struct stat st {};
        EXPECT_NE(::stat(Mark.c_str(), &st), 0) << "the driver manager loaded the library";
    }

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

    // One login arrived, with the application name and workstation ID written; credentials
    // that travelled apart arrive without them (FreeTDS reads those from a string only).
    SimLogEntry ExpectOneLogin(const std::string& error, const std::string& wsid = "ws-7",
                               bool inString = true) {
        EXPECT_EQ(error, "");
        const std::vector<SimLogEntry> logins = NewLogins();
        EXPECT_EQ(logins.size(), 1u);
        if (logins.empty()) {
            return {};
        }
        EXPECT_EQ(logins[0].at("app"), inString ? "Tallyvane" : "");
        if (inString) {
            EXPECT_EQ(logins[0].at("host"), wsid);
        }
        return logins[0];
    }

    QTemporaryDir Dir;
    std::string Mark = Dir.filePath("loaded").toStdString();
    TdsSimProcess Sim{Scenario(Dir)};
    std::size_t Seen = 0;
};

// The mark works: loading the library leaves it.
TEST_F(HostileConnectionValueTest, MarkingLibraryMarksWhenLoaded) {
    void* handle = ::dlopen(TALLYVANE_MARKING_LIBRARY, RTLD_NOW);
    ASSERT_NE(handle, nullptr) << ::dlerror();
    ::dlclose(handle);
    struct stat st {};
    EXPECT_EQ(::stat(Mark.c_str(), &st), 0);
    ::unlink(Mark.c_str());
}

// Every password logs in, stored or typed: "}" with ";" and the driver manager's disguised
// characters included, the ones no string carries through SQLConnect's own arguments.
TEST_F(HostileConnectionValueTest, PasswordStoredOrTyped) {
    int i = 0;
    for (const Hostile& h : Values()) {
        SCOPED_TRACE(h.Value);
        const std::string user = HasNul(h.Value) ? "pwx" : "pw" + std::to_string(i++);
        const std::string stored = Connect(Base() + "Workstation ID=ws-7;User ID=" + user +
                                           ";Password=" + OleDbQuoted(h.Value));
        const std::string typed = Connect(Base() + "Workstation ID=ws-7", user, h.Value);
        for (const std::string& error : {stored, typed}) {
            if (HasNul(h.Value)) {
                EXPECT_NE(error.find("holds a NUL"), std::string::npos) << error;
                continue;
            }
            EXPECT_EQ(error, "");
        }
        const std::vector<SimLogEntry> all = Sim.logEntries();
        std::vector<SimLogEntry> oks;
        for (std::size_t k = Seen; k < all.size(); ++k) {
            if (all[k].at("event") == "login") {
                EXPECT_EQ(all[k].at("app"), h.Carried ? "Tallyvane" : "");
                if (h.Carried) {
                    EXPECT_EQ(all[k].at("host"), "ws-7");
                }
            }
            if (all[k].at("event") == "login-ok") {
                oks.push_back(all[k]);
            }
            EXPECT_NE(all[k].at("event"), "login-failed") << all[k].at("reason");
        }
        Seen = all.size();
        // The password matched exactly: the simulator compares it byte for byte.
        EXPECT_EQ(oks.size(), HasNul(h.Value) ? 0u : 2u);
    }
}

TEST_F(HostileConnectionValueTest, UserName) {
    for (const Hostile& h : Values()) {
        SCOPED_TRACE(h.Value);
        const std::string error =
            Connect(Base() + "Workstation ID=ws-7;Password=pw;User ID=" + OleDbQuoted(h.Value));
        if (HasNul(h.Value)) {
            ExpectRefused(error, "UID", "User ID");
            continue;
        }
        EXPECT_EQ(ExpectOneLogin(error, "ws-7", h.Carried)["user"], h.Value);
    }
}

// A password no string carries takes the database with it through the private data source.
TEST_F(HostileConnectionValueTest, DatabaseBesideACredentialNoStringCarries) {
    const std::string error =
        Connect(Base() + "Initial Catalog=" + OleDbQuoted(Values()[2].Value), "pw1", "a};DSN=x");
    EXPECT_EQ(ExpectOneLogin(error, "", false)["database"], Values()[2].Value);
}

// A data link file (UTF-16, as Windows writes them) whose password names the library in
// disguise: the login succeeds through SQLConnect's arguments and nothing is loaded.
TEST_F(HostileConnectionValueTest, DataLinkFilePassword) {
    int login = 0;
    int tried = 0;
    for (const Hostile& h : Values()) {
        if (HasNul(h.Value)) {
            continue;
        }
        if (h.Value.find("DRIVER=") != std::string::npos && !h.Carried) {
            SCOPED_TRACE(h.Value);
            const std::string path = Dir.filePath("hostile.udl").toStdString();
            const std::u16string text =
                QString::fromStdString("[oledb]\r\n; Everything after this line is an OLE DB "
                                       "initstring\r\nProvider=SQLOLEDB.1;Data Source=127.0.0.1," +
                                       std::to_string(Sim.port()) + ";User ID=pw" +
                                       std::to_string(login) + ";Password=" + OleDbQuoted(h.Value) +
                                       "\r\n")
                    .toStdU16String();
            std::string bytes = "\xFF\xFE";
            for (char16_t unit : text) {
                bytes += static_cast<char>(unit & 0xFF);
                bytes += static_cast<char>(unit >> 8);
            }
            std::ofstream(path, std::ios::binary) << bytes;
            ExpectOneLogin(Connect("FILE NAME=" + path), "", false);
            ++tried;
        }
        ++login;
    }
    EXPECT_EQ(tried, 2);
}

TEST_F(HostileConnectionValueTest, Database) {
    for (const Hostile& h : Values()) {
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
    for (const Hostile& h : Values()) {
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
    for (const Hostile& h : Values()) {
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
