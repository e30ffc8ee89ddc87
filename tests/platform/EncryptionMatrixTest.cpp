// Every client encryption setting against every server encryption mode and certificate, over
// the program's own connection to a real tdssim: who connects, what travels encrypted, and
// what the user is told. The README's encryption table states the same cells.
#include "DbConnection.h"
#include "DbDataSet.h"
#include "TdsSimProcess.h"
#include "TestCertificates.h"

#include <QProcess>
#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using tallyvane::testsupport::SimLogEntry;
using tallyvane::testsupport::TdsSimProcess;
using tallyvane::testsupport::TestCertificates;

namespace {

TestCertificates& Certs() {
    static TestCertificates certs;
    return certs;
}

struct Setting {
    const char* Name;
    std::string Pieces; // appended to the connection string
    bool Demands;       // asks for encryption
    bool Checks;        // and checks the certificate
};

std::vector<Setting> Settings() {
    const std::string ca = Certs().Ca();
    return {
        {"none", "", false, false},
        {"request", "Encrypt=optional", false, false},
        {"require, trust", "Encrypt=yes;TrustServerCertificate=yes", true, false},
        {"require, check", "Encrypt=yes;TrustServerCertificate=no;ServerCertificate=" + ca, true,
         true},
        {"require, check (OLE DB names)",
         "Use Encryption for Data=True;Trust Server Certificate=False;Server Certificate=" + ca,
         true, true},
    };
}

struct Outcome {
    bool Connects;
    std::string Wire;   // the simulator's "encryption" mode: none, login, all
    std::string Report; // part of the encryption state, or of the error
};

// One cell of the README's table.
Outcome Expected(const Setting& s, const std::string& mode, const std::string& cert) {
    if (s.Demands && mode == "off") {
        return {false, "none", "The server does not support encryption"};
    }
    // The driver hangs up in the handshake: no login ever leaves it.
    if (s.Checks && cert == "wrong-host") {
        return {false, "tls-failed", "is not valid for \"127.0.0.1\""};
    }
    if (s.Checks && cert == "self-signed") {
        return {false, "tls-failed", "is not trusted: self-signed certificate"};
    }
    if (mode == "off") {
        return {true, "none", "Not encrypted"};
    }
    if (mode == "login" && !s.Demands) {
        return {true, "login",
                "Login encrypted (TLSv1.2), the rest of the connection not "
                "encrypted, certificate not verified"};
    }
    return {true, "all",
            s.Checks    ? "Encrypted (TLSv1.2), certificate verified"
            : s.Demands ? "Encrypted (TLSv1.2), certificate not verified (TrustServerCertificate)"
                        : "Encrypted (TLSv1.2), certificate not verified (encryption not "
                          "required)"};
}

// The simulator's encryption entry for the connection that logged in (or tried to), not
// the program's look beside it.
std::string WireMode(const TdsSimProcess& sim, std::size_t from) {
    std::vector<SimLogEntry> entries = sim.logEntries();
    entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(from));
    std::string loginConn;
    for (const SimLogEntry& e : entries) {
        if (e.at("event") == "login") {
            loginConn = e.at("conn");
        }
    }
    std::string last;
    for (const SimLogEntry& e : entries) {
        if (e.at("event") == "encryption" && (loginConn.empty() || e.at("conn") == loginConn)) {
            last = e.at("mode");
            if (!loginConn.empty()) {
                return last;
            }
        }
    }
    return last;
}

// The server notices a client that hung up a moment after the client has given up.
bool NewEventArrives(const TdsSimProcess& sim, std::size_t from, const std::string& event) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
        const std::vector<SimLogEntry> entries = sim.logEntries();
        for (std::size_t i = from; i < entries.size(); ++i) {
            if (entries[i].at("event") == event) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

TEST(EncryptionMatrix, EverySettingAgainstEveryModeAndCertificate) {
    for (const std::string mode : {"off", "login", "on", "required"}) {
        for (const std::string cert : {"good", "wrong-host", "self-signed"}) {
            TdsSimProcess sim(
                "demo", 1, std::chrono::seconds(10),
                {"--encryption", mode, "--cert", Certs().Cert(cert), "--key", Certs().Key(cert)});
            for (const Setting& s : Settings()) {
                SCOPED_TRACE(std::string("client ") + s.Name + ", server " + mode + ", " + cert);
                const Outcome want = Expected(s, mode, cert);
                const std::size_t logged = sim.logEntries().size();
                TDbConnection c;
                c.ConnectionString = "Provider=SQLOLEDB.1;Data Source=127.0.0.1," +
                                     std::to_string(sim.port()) +
                                     ";User ID=sa;Password=Sim-Admin-1;Persist Security "
                                     "Info=True;" +
                                     s.Pieces;
                c.ConnectionTimeout = 10;
                c.ConnectOptions = coConnectUnspecified;
                std::string error;
                try {
                    c.Open();
                    TDbDataSet data;
                    data.SetRecordset(c.Execute("select 4711"));
                    EXPECT_EQ(data.Fields(0).AsInteger(), 4711);
                } catch (const EDbError& e) {
                    error = e.what();
                }
                EXPECT_EQ(error.empty(), want.Connects) << error;
                if (want.Connects) {
                    EXPECT_NE(c.EncryptionState.find(want.Report), std::string::npos)
                        << c.EncryptionState;
                } else {
                    EXPECT_NE(error.find(want.Report), std::string::npos) << error;
                    EXPECT_EQ(c.EncryptionState, "");
                }
                c.Close();
                if (want.Wire == "tls-failed") {
                    EXPECT_TRUE(NewEventArrives(sim, logged, "tls-failed"));
                    const std::vector<SimLogEntry> entries = sim.logEntries();
                    for (std::size_t i = logged; i < entries.size(); ++i) {
                        EXPECT_NE(entries[i].at("event"), "login");
                    }
                } else {
                    EXPECT_EQ(WireMode(sim, logged), want.Wire);
                }
            }
        }
    }
}

// A password that no connection string carries ("}" with ";", as generated ones hold) goes
// in SQLConnect's arguments through the private data source: every setting gives the same
// outcome as with a plain password, the certificate check included.
TEST(EncryptionMatrix, CredentialsApartKeepTheEncryptionAsked) {
    QTemporaryDir dir;
    QProcess print;
    print.start(QString::fromStdString(TdsSimProcess::executablePath()),
                {"--print-scenario", "demo"});
    ASSERT_TRUE(print.waitForFinished(10000));
    const std::string scenario = dir.filePath("apart.ini").toStdString();
    std::ofstream(scenario) << print.readAllStandardOutput().toStdString()
                            << "\n[login]\nname = gen\npassword = \"Gen};p{w}}x;\"\n"
                               "sysadmin = yes\n";
    for (const std::string mode : {"off", "required"}) {
        for (const std::string cert : {"good", "self-signed"}) {
            TdsSimProcess sim(
                scenario, 1, std::chrono::seconds(10),
                {"--encryption", mode, "--cert", Certs().Cert(cert), "--key", Certs().Key(cert)});
            for (const Setting& s : Settings()) {
                SCOPED_TRACE(std::string("client ") + s.Name + ", server " + mode + ", " + cert);
                const Outcome want = Expected(s, mode, cert);
                TDbConnection c;
                c.ConnectionString = "Provider=SQLOLEDB.1;Data Source=127.0.0.1," +
                                     std::to_string(sim.port()) +
                                     ";User ID=gen;Password=\"Gen};p{w}}x;\";Persist Security "
                                     "Info=True;" +
                                     s.Pieces;
                c.ConnectionTimeout = 10;
                std::string error;
                try {
                    c.Open();
                    TDbDataSet data;
                    data.SetRecordset(c.Execute("select 4711"));
                    EXPECT_EQ(data.Fields(0).AsInteger(), 4711);
                } catch (const EDbError& e) {
                    error = e.what();
                }
                EXPECT_EQ(error.empty(), want.Connects) << error;
                if (want.Connects) {
                    EXPECT_NE(c.EncryptionState.find(want.Report), std::string::npos)
                        << c.EncryptionState;
                } else {
                    EXPECT_NE(error.find(want.Report), std::string::npos) << error;
                }
                c.Close();
            }
        }
    }
}

} // namespace
