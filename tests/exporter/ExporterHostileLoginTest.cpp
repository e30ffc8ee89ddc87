// The exporter as an attacker meets it: servers.ini entries whose passwords hold "}" with ";"
// (as generated passwords do) or characters that the ODBC driver manager reads by their low
// byte, shaped to name a library as the driver. The passwords log in; a library so named is
// never loaded (it leaves a mark when anything loads it); a database name no connection
// string carries is refused by its key.
#include "../config/TempFolder.h"
#include "ExporterProcess.h"

#include <QProcess>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using namespace exportertest;
using tallyvane::testsupport::TdsSimProcess;

const std::string Z = "\xC5\xBD"; // U+017D: "}" to the driver manager
const std::string L = "\xC4\xBB"; // U+013B: ";"

// The path with each "/" written as U+012F, which the driver manager reads as "/".
std::string Disguised(const std::string& path) {
    std::string out;
    for (char c : path) {
        out += c == '/' ? std::string("\xC4\xAF") : std::string(1, c);
    }
    return out;
}

std::string OleDbQuoted(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

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

std::string DemoScenario() {
    QProcess print;
    print.start(QString::fromStdString(TdsSimProcess::executablePath()),
                {"--print-scenario", "demo"});
    print.waitForFinished(10000);
    return print.readAllStandardOutput().toStdString();
}

TEST(ExporterHostileLogin, PasswordsLogInAndNoDisguisedLibraryLoads) {
    TTempFolder folder;
    const std::string mark = folder.File("loaded");
    ::setenv("TALLYVANE_MARKING_FILE", mark.c_str(), 1); // the exporter inherits it
    const std::string lib = Disguised(TALLYVANE_MARKING_LIBRARY);
    const struct {
        const char* Label;
        std::string Password;
    } logins[] = {
        {"Generated", "Gen};p{w}}x;"},
        {"Braced", "{a}"},
        {"Disguised", "x" + Z + L + "DRIVER=" + lib + L},
        {"DisguisedBraced", "x" + Z + L + "DRIVER={" + lib + "}" + L + "APP=z"},
    };
    std::string scenario = DemoScenario();
    ASSERT_NE(scenario.find("[login]"), std::string::npos);
    for (const auto& l : logins) {
        scenario += std::string("\n[login]\nname = ") + l.Label +
                    "\npassword = " + SimQuoted(l.Password) + "\nsysadmin = yes\n";
    }
    WriteFile(folder.File("scenario.ini"), scenario);
    TdsSimProcess sim(folder.File("scenario.ini"));
    const std::string base =
        "Provider=SQLOLEDB.1;Persist Security Info=True;Data Source=127.0.0.1," +
        std::to_string(sim.port()) + ";";
    std::string servers;
    for (const auto& l : logins) {
        servers +=
            Section(l.Label, base + "User ID=" + l.Label + ";Password=" + OleDbQuoted(l.Password));
    }
    servers += Section("Catalog", base + "User ID=sa;Password=Sim-Admin-1;Initial Catalog=" +
                                      OleDbQuoted("x" + Z + L + "DRIVER=" + lib + L));
    WriteFile(folder.File("servers.ini"), servers);

    const TRunResult run = RunExporter({"--servers", folder.File("servers.ini"), "--once"});
    EXPECT_EQ(run.ExitCode, 3) << run.Err; // Catalog is down
    for (const auto& l : logins) {
        SCOPED_TRACE(l.Label);
        EXPECT_EQ(SeriesValue(run.Out, std::string("tallyvane_up{server=\"") + l.Label + "\"}"), 1)
            << run.Err;
    }
    EXPECT_EQ(SeriesValue(run.Out, "tallyvane_up{server=\"Catalog\"}"), 0);
    EXPECT_NE(run.Err.find("The value of Database holds the character U+017D"), std::string::npos)
        << run.Err;
    for (const auto& l : logins) {
        EXPECT_EQ(run.Err.find(l.Password), std::string::npos); // no password in the log
    }
    struct stat st {};
    EXPECT_NE(::stat(mark.c_str(), &st), 0) << "the driver manager loaded the library";
}

} // namespace
