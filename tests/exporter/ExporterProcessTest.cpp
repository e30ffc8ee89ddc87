// The exporter as a DBA runs it: the built executable against simulated servers with known
// blocking, its command line, its signals, shards, and servers that fail in every way.
#include "ExporterProcess.h"

#include "../config/TempFolder.h"
#include "HttpClient.h"
#include "RawClient.h"
#include "Shard.h"

#include <QStandardPaths>
#include <cstdlib>
#include <gtest/gtest.h>
#include <set>
#include <sstream>

namespace {

using namespace exportertest;
using tallyvane::testsupport::SpinUntil;
using tallyvane::testsupport::TdsSimProcess;

// The series whose values change from run to run: their values are compared as "*".
const char* const VolatileFamilies[] = {
    "tallyvane_longest_block_wait_seconds{", "tallyvane_blocked_wait_seconds{",
    "tallyvane_poll_duration_seconds{", "tallyvane_last_poll_timestamp_seconds{"};

// The page without HELP lines, volatile values replaced by "*".
std::string Normalized(const std::string& page) {
    std::istringstream in(page);
    std::string out;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("# HELP ", 0) == 0) {
            continue;
        }
        for (const char* family : VolatileFamilies) {
            if (line.rfind(family, 0) == 0) {
                line = line.substr(0, line.rfind(' ')) + " *";
            }
        }
        out += line + "\n";
    }
    return out;
}

// Five simulated servers with known blocking and faults, and the files that name them.
struct TFleetFixture {
    TFleetFixture() : Sim(Folder.File("quiet.ini"), 5) {}

    TTempFolder Folder;
    int Written = (WriteFile(Folder.File("quiet.ini"), QuietScenario()), 0);
    TdsSimProcess Sim;

    void WriteServers() {
        Sim.block(0, 52, 51);
        Sim.block(0, 53, 51);
        Sim.block(2, 53, 52);
        Sim.block(2, 54, 53);
        Sim.block(2, 56, 55);
        Sim.setFault(3, "refuse");
        Sim.setFault(4, "query-error", "208");
        const std::string noCredentials =
            "Provider=SQLOLEDB.1;Data Source=127.0.0.1," + std::to_string(Sim.port(1));
        WriteFile(Folder.File("servers.ini"),
                  Section("SQL-A", Sim.oledbConnectionString(0)) +
                      Section("SQL-B", Sim.oledbConnectionString(1)) +
                      Section("SQL-C", Sim.oledbConnectionString(2)) +
                      Section("Off", Sim.oledbConnectionString(0), false) +
                      Section("NoLogin", noCredentials) +
                      Section("BadPassword", Sim.oledbConnectionString(1, "sa", "wrong")) +
                      Section("Refused", Sim.oledbConnectionString(3)) +
                      Section("QueryError", Sim.oledbConnectionString(4)));
        WriteFile(Folder.File("tallyvane.ini"),
                  "[Settings]\r\nAutoRefreshInterval=7\r\nWarningTimeout=2500\r\n");
    }
    std::vector<std::string> FileArgs() const {
        return {"--servers", Folder.File("servers.ini"), "--settings",
                Folder.File("tallyvane.ini")};
    }
};

// Azure SQL Database and Managed Instance, as the exporter sees them: up with the blocking of
// the one database, and the kind of server in tallyvane_server_info.
TEST(ExporterProcess, TellsTheKindOfEachServer) {
    TTempFolder folder;
    TdsSimProcess azure("demo", 1, std::chrono::seconds(10), {"--engine-edition", "5"});
    TdsSimProcess managed("demo", 1, std::chrono::seconds(10), {"--engine-edition", "8"});
    TdsSimProcess rds("demo", 1, std::chrono::seconds(10), {"--rds"});
    WriteFile(folder.File("servers.ini"),
              Section("AZ", azure.oledbConnectionString() + ";Initial Catalog=Sales") +
                  Section("MI", managed.oledbConnectionString()) +
                  Section("RDS", rds.oledbConnectionString()));
    WriteFile(folder.File("tallyvane.ini"), "[Settings]\r\nAutoRefreshInterval=7\r\n");
    const TRunResult run = RunExporter({"--servers", folder.File("servers.ini"), "--settings",
                                        folder.File("tallyvane.ini"), "--once"});
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    const std::string page = Normalized(run.Out);
    for (const char* line :
         {"tallyvane_up{server=\"AZ\"} 1",
          "tallyvane_server_info{server=\"AZ\",edition=\"azure_sql_database\",version=\"15.0."
          "2000.5\"} 1",
          "tallyvane_server_info{server=\"MI\",edition=\"azure_sql_managed_instance\",version="
          "\"15.0.2000.5\"} 1",
          "tallyvane_server_info{server=\"RDS\",edition=\"rds\",version=\"15.0.2000.5\"} 1"})
        EXPECT_NE(page.find(line), std::string::npos) << line << "\n" << page;
    EXPECT_EQ(page.find("tallyvane_blocked_sessions{server=\"AZ\"} 0"), std::string::npos) << page;
    EXPECT_NE(page.find("tallyvane_blocked_sessions{server=\"AZ\"}"), std::string::npos) << page;
    for (const std::string& line : azure.logLines())
        EXPECT_EQ(line.find("master."), std::string::npos) << line;
}

TEST(ExporterProcess, OnceGivesTheFiguresOfTheScenario) {
    TFleetFixture fleet;
    fleet.WriteServers();
    std::vector<std::string> args = fleet.FileArgs();
    args.push_back("--once");
    const TRunResult run = RunExporter(args);
    // Four servers are down: status 3, the metrics all the same.
    ASSERT_EQ(run.ExitCode, 3) << run.Err;
    const std::string expected = R"(# TYPE tallyvane_up gauge
tallyvane_up{server="SQL-A"} 1
tallyvane_up{server="SQL-B"} 1
tallyvane_up{server="SQL-C"} 1
tallyvane_up{server="NoLogin"} 0
tallyvane_up{server="BadPassword"} 0
tallyvane_up{server="Refused"} 0
tallyvane_up{server="QueryError"} 0
# TYPE tallyvane_down_reason gauge
tallyvane_down_reason{server="NoLogin",reason="login_required"} 1
tallyvane_down_reason{server="BadPassword",reason="login_failed"} 1
tallyvane_down_reason{server="Refused",reason="connect_failed"} 1
tallyvane_down_reason{server="QueryError",reason="query_failed"} 1
# TYPE tallyvane_server_info gauge
tallyvane_server_info{server="SQL-A",edition="sql_server",version="15.0.2000.5"} 1
tallyvane_server_info{server="SQL-B",edition="sql_server",version="15.0.2000.5"} 1
tallyvane_server_info{server="SQL-C",edition="sql_server",version="15.0.2000.5"} 1
# TYPE tallyvane_sessions gauge
tallyvane_sessions{server="SQL-A"} 7
tallyvane_sessions{server="SQL-B"} 7
tallyvane_sessions{server="SQL-C"} 7
# TYPE tallyvane_blocked_sessions gauge
tallyvane_blocked_sessions{server="SQL-A"} 2
tallyvane_blocked_sessions{server="SQL-B"} 0
tallyvane_blocked_sessions{server="SQL-C"} 3
# TYPE tallyvane_head_blockers gauge
tallyvane_head_blockers{server="SQL-A"} 1
tallyvane_head_blockers{server="SQL-B"} 0
tallyvane_head_blockers{server="SQL-C"} 2
# TYPE tallyvane_longest_block_wait_seconds gauge
tallyvane_longest_block_wait_seconds{server="SQL-A"} *
tallyvane_longest_block_wait_seconds{server="SQL-B"} *
tallyvane_longest_block_wait_seconds{server="SQL-C"} *
# TYPE tallyvane_blocked_wait_seconds gauge
tallyvane_blocked_wait_seconds{server="SQL-A"} *
tallyvane_blocked_wait_seconds{server="SQL-B"} *
tallyvane_blocked_wait_seconds{server="SQL-C"} *
# TYPE tallyvane_blocking_episodes_total counter
tallyvane_blocking_episodes_total{server="SQL-A"} 0
tallyvane_blocking_episodes_total{server="SQL-B"} 0
tallyvane_blocking_episodes_total{server="SQL-C"} 0
tallyvane_blocking_episodes_total{server="NoLogin"} 0
tallyvane_blocking_episodes_total{server="BadPassword"} 0
tallyvane_blocking_episodes_total{server="Refused"} 0
tallyvane_blocking_episodes_total{server="QueryError"} 0
# TYPE tallyvane_deadlocks_total counter
tallyvane_deadlocks_total{server="SQL-A"} 0
tallyvane_deadlocks_total{server="SQL-B"} 0
tallyvane_deadlocks_total{server="SQL-C"} 0
tallyvane_deadlocks_total{server="NoLogin"} 0
tallyvane_deadlocks_total{server="BadPassword"} 0
tallyvane_deadlocks_total{server="Refused"} 0
tallyvane_deadlocks_total{server="QueryError"} 0
# TYPE tallyvane_lock_waits_total counter
tallyvane_lock_waits_total{server="SQL-A"} 0
tallyvane_lock_waits_total{server="SQL-B"} 0
tallyvane_lock_waits_total{server="SQL-C"} 0
tallyvane_lock_waits_total{server="NoLogin"} 0
tallyvane_lock_waits_total{server="BadPassword"} 0
tallyvane_lock_waits_total{server="Refused"} 0
tallyvane_lock_waits_total{server="QueryError"} 0
# TYPE tallyvane_lock_wait_seconds_total counter
tallyvane_lock_wait_seconds_total{server="SQL-A"} 0
tallyvane_lock_wait_seconds_total{server="SQL-B"} 0
tallyvane_lock_wait_seconds_total{server="SQL-C"} 0
tallyvane_lock_wait_seconds_total{server="NoLogin"} 0
tallyvane_lock_wait_seconds_total{server="BadPassword"} 0
tallyvane_lock_wait_seconds_total{server="Refused"} 0
tallyvane_lock_wait_seconds_total{server="QueryError"} 0
# TYPE tallyvane_poll_duration_seconds gauge
tallyvane_poll_duration_seconds{server="SQL-A"} *
tallyvane_poll_duration_seconds{server="SQL-B"} *
tallyvane_poll_duration_seconds{server="SQL-C"} *
tallyvane_poll_duration_seconds{server="BadPassword"} *
tallyvane_poll_duration_seconds{server="Refused"} *
tallyvane_poll_duration_seconds{server="QueryError"} *
# TYPE tallyvane_last_poll_timestamp_seconds gauge
tallyvane_last_poll_timestamp_seconds{server="SQL-A"} *
tallyvane_last_poll_timestamp_seconds{server="SQL-B"} *
tallyvane_last_poll_timestamp_seconds{server="SQL-C"} *
tallyvane_last_poll_timestamp_seconds{server="BadPassword"} *
tallyvane_last_poll_timestamp_seconds{server="Refused"} *
tallyvane_last_poll_timestamp_seconds{server="QueryError"} *
# TYPE tallyvane_poll_errors_total counter
tallyvane_poll_errors_total{server="SQL-A"} 0
tallyvane_poll_errors_total{server="SQL-B"} 0
tallyvane_poll_errors_total{server="SQL-C"} 0
tallyvane_poll_errors_total{server="NoLogin"} 0
tallyvane_poll_errors_total{server="BadPassword"} 1
tallyvane_poll_errors_total{server="Refused"} 1
tallyvane_poll_errors_total{server="QueryError"} 1
# TYPE tallyvane_warning_threshold_seconds gauge
tallyvane_warning_threshold_seconds 2.5
# TYPE tallyvane_poll_interval_seconds gauge
tallyvane_poll_interval_seconds 7
# TYPE tallyvane_build_info gauge
tallyvane_build_info{version=")" TALLYVANE_PROJECT_VERSION R"("} 1
)";
    EXPECT_EQ(Normalized(run.Out), expected);
    EXPECT_GT(SeriesValue(run.Out, "tallyvane_longest_block_wait_seconds{server=\"SQL-A\"}"), 0);
    EXPECT_EQ(SeriesValue(run.Out, "tallyvane_longest_block_wait_seconds{server=\"SQL-B\"}"), 0);
    EXPECT_GE(SeriesValue(run.Out, "tallyvane_blocked_wait_seconds{server=\"SQL-C\"}"),
              SeriesValue(run.Out, "tallyvane_longest_block_wait_seconds{server=\"SQL-C\"}"));
    // The log tells why each server is down, and never the password.
    EXPECT_NE(run.Err.find("NoLogin: not watched (login_required)"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("BadPassword: down (login_failed): Login failed"), std::string::npos);
    EXPECT_NE(run.Err.find("QueryError: down (query_failed): Invalid object name"),
              std::string::npos);
    EXPECT_EQ(run.Err.find(TdsSimProcess::kAdminPassword), std::string::npos);
}

// --once tells a script whether every watched server answered; a disabled one is not watched.
TEST(ExporterProcess, OnceExitStatusSaysWhetherEveryServerAnswered) {
    TFleetFixture fleet;
    fleet.WriteServers();
    const struct {
        const char* Name;
        std::string Servers;
        int ExitCode;
    } cases[] = {
        {"all answer",
         Section("SQL-A", fleet.Sim.oledbConnectionString(0)) +
             Section("Off", "Provider=SQLOLEDB.1;Data Source=127.0.0.1,1", false),
         0},
        {"one refuses",
         Section("SQL-A", fleet.Sim.oledbConnectionString(0)) +
             Section("Refused", fleet.Sim.oledbConnectionString(3)),
         3},
        {"all down", Section("Refused", fleet.Sim.oledbConnectionString(3)), 3},
        {"nothing to watch", "", 0},
    };
    for (const auto& c : cases) {
        WriteFile(fleet.Folder.File("servers.ini"), c.Servers);
        const TRunResult run =
            RunExporter({"--servers", fleet.Folder.File("servers.ini"), "--once"});
        EXPECT_EQ(run.ExitCode, c.ExitCode) << c.Name << run.Err;
        EXPECT_NE(run.Out.find("tallyvane_build_info"), std::string::npos) << c.Name;
    }
}

TEST(ExporterProcess, PromtoolFindsNothingToReport) {
    const QString promtool = QStandardPaths::findExecutable("promtool");
    if (promtool.isEmpty()) {
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus); "
                        "scripts/install-deps.sh installs it";
    }
    TFleetFixture fleet;
    fleet.WriteServers();
    std::vector<std::string> args = fleet.FileArgs();
    args.push_back("--once");
    const TRunResult run = RunExporter(args);
    ASSERT_EQ(run.ExitCode, 3) << run.Err;
    QProcess check;
    check.start(promtool, {"check", "metrics"});
    check.write(run.Out.data(), qint64(run.Out.size()));
    check.closeWriteChannel();
    ASSERT_TRUE(check.waitForFinished(30000));
    EXPECT_EQ(check.exitCode(), 0);
    EXPECT_EQ(check.readAllStandardOutput().toStdString() +
                  check.readAllStandardError().toStdString(),
              "");
}

TEST(ExporterProcess, CommandLine) {
    TTempFolder folder;
    const struct {
        std::vector<std::string> Args;
        int ExitCode;
        std::string Out; // found in standard output
        std::string Err; // found in standard error
    } cases[] = {
        {{"--help"}, 0, "Usage: tallyvane-exporter", ""},
        {{"--version"}, 0, std::string("tallyvane-exporter ") + TALLYVANE_PROJECT_VERSION, ""},
        {{"--frobnicate"}, 2, "", "unknown option \"--frobnicate\""},
        {{"--shard", "0/2"}, 2, "", "--shard takes I/N"},
        {{"--servers", folder.File("absent.ini"), "--once"}, 1, "", "does not exist"},
        {{"--servers", folder.File("empty.ini"), "--settings", folder.File("absent.ini"), "--once"},
         1,
         "",
         "The settings file \"" + folder.File("absent.ini") + "\" does not exist"},
        // Files that cannot be read whole stop the exporter with the line named.
        {{"--servers", folder.File("nul.ini"), "--once"},
         1,
         "",
         "Cannot read file \"" + folder.File("nul.ini") + "\": line 3 holds a NUL byte"},
        {{"--servers", folder.File("empty.ini"), "--settings", folder.File("nul.ini"), "--once"},
         1,
         "",
         "Cannot read file \"" + folder.File("nul.ini") + "\": line 3 holds a NUL byte"},
        {{"--servers", folder.File("nosection.ini"), "--once"},
         1,
         "",
         "it has no [server] section, line 2 is no part of one"},
        {{"--servers", folder.File("empty.ini"), "--listen", "192.0.2.1:9187"},
         1,
         "",
         "Cannot listen on 192.0.2.1:9187"},
        {{"--servers", folder.File("empty.ini"), "--listen", "db.example:9187"},
         1,
         "",
         "needs an IP address"},
        {{"--servers", folder.File("empty.ini"), "--auth-user", "prom", "--auth-password-file",
          folder.File("absent")},
         1,
         "",
         "Cannot open the password file"},
    };
    WriteFile(folder.File("empty.ini"), "");
    WriteFile(folder.File("nul.ini"), std::string("[A]\r\nTimeout=1\r\nx\0y\r\n[B]\r\n", 26));
    WriteFile(folder.File("nosection.ini"), "\nName=SQL-A\n");
    for (const auto& c : cases) {
        const TRunResult run = RunExporter(c.Args);
        EXPECT_EQ(run.ExitCode, c.ExitCode) << c.Args.front() << run.Err;
        EXPECT_NE(run.Out.find(c.Out), std::string::npos) << c.Args.front() << run.Out;
        EXPECT_NE(run.Err.find(c.Err), std::string::npos) << c.Args.front() << run.Err;
    }
}

TEST(ExporterProcess, StopsCleanlyOnSigtermAndSigint) {
    TTempFolder folder;
    WriteFile(folder.File("empty.ini"), "");
    for (const int signalNumber : {SIGTERM, SIGINT}) {
        TServingExporter exporter({"--servers", folder.File("empty.ini")});
        ASSERT_NE(exporter.Port, 0) << exporter.Log();
        TClient client(quint16(exporter.Port));
        EXPECT_EQ(client.Get("/-/healthy").Status, 200);
        EXPECT_EQ(exporter.Stop(signalNumber), 0) << signalNumber;
        EXPECT_NE(exporter.Log().find("Stopping (signal " + std::to_string(signalNumber) + ")"),
                  std::string::npos)
            << exporter.Log();
    }
}

TEST(ExporterProcess, ShardsSplitTheFleet) {
    TTempFolder folder;
    std::string servers;
    std::set<std::string> all;
    for (int i = 0; i < 12; ++i) {
        // No credentials: nothing is polled, the servers are listed all the same.
        const std::string name = "SQL" + std::to_string(i);
        servers += Section(name, "Provider=SQLOLEDB.1;Data Source=127.0.0.1,1");
        all.insert(name);
    }
    WriteFile(folder.File("servers.ini"), servers);
    std::set<std::string> seen;
    for (std::uint32_t index = 1; index <= 3; ++index) {
        const TRunResult run = RunExporter({"--servers", folder.File("servers.ini"), "--once",
                                            "--shard", std::to_string(index) + "/3"});
        ASSERT_EQ(run.ExitCode, 3) << run.Err; // none of them can log in
        for (const std::string& name : all) {
            const bool listed =
                run.Out.find("tallyvane_up{server=\"" + name + "\"}") != std::string::npos;
            EXPECT_EQ(listed, ShardOf(name, 3) == index) << name << " in " << index;
            if (listed) {
                EXPECT_TRUE(seen.insert(name).second) << name << " in two shards";
            }
        }
    }
    EXPECT_EQ(seen, all);
}

// Waits until a series of the page has the value; returns the last page seen.
std::string WaitForValue(TClient& client, const std::string& series, double value) {
    std::string page;
    SpinUntil(
        [&] {
            page = client.Get("/metrics").Body;
            return SeriesValue(page, series) == value;
        },
        std::chrono::seconds(20));
    return page;
}

TEST(ExporterProcess, CountsBlockingEpisodesByTheDetectorsRule) {
    TTempFolder folder;
    WriteFile(folder.File("quiet.ini"), QuietScenario());
    TdsSimProcess sim(folder.File("quiet.ini"), 1);
    WriteFile(folder.File("servers.ini"), Section("SQL-A", sim.oledbConnectionString(0)));
    WriteFile(folder.File("tallyvane.ini"),
              "[Settings]\r\nAutoRefreshInterval=1\r\nWarningTimeout=1200\r\n");
    TServingExporter exporter(
        {"--servers", folder.File("servers.ini"), "--settings", folder.File("tallyvane.ini")});
    ASSERT_NE(exporter.Port, 0) << exporter.Log();
    TClient client(quint16(exporter.Port));
    const std::string episodes = "tallyvane_blocking_episodes_total{server=\"SQL-A\"}";
    const std::string blocked = "tallyvane_blocked_sessions{server=\"SQL-A\"}";

    // Blocking that is seen but has not reached the threshold is no episode yet.
    sim.block(0, 52, 51);
    std::string page = WaitForValue(client, blocked, 1);
    ASSERT_EQ(SeriesValue(page, blocked), 1) << page;
    EXPECT_EQ(SeriesValue(page, episodes), 0) << page;
    page = WaitForValue(client, episodes, 1);
    EXPECT_EQ(SeriesValue(page, episodes), 1) << page;
    EXPECT_GE(SeriesValue(page, "tallyvane_longest_block_wait_seconds{server=\"SQL-A\"}"), 1.2);

    // A second waiter behind the same head is the same episode.
    sim.block(0, 53, 51);
    page = WaitForValue(client, blocked, 2);
    EXPECT_EQ(SeriesValue(page, episodes), 1) << page;

    // Once the head blocks nobody, the next blocking is a new episode.
    sim.unblock(0, 52);
    sim.unblock(0, 53);
    page = WaitForValue(client, blocked, 0);
    ASSERT_EQ(SeriesValue(page, blocked), 0) << page;
    sim.block(0, 55, 54);
    page = WaitForValue(client, episodes, 2);
    EXPECT_EQ(SeriesValue(page, episodes), 2) << page;
    EXPECT_EQ(SeriesValue(page, "tallyvane_head_blockers{server=\"SQL-A\"}"), 1) << page;
}

TEST(ExporterProcess, HangingServersDoNotDelayTheOthers) {
    TTempFolder folder;
    TdsSimProcess sim("demo", 3);
    sim.setFault(1, "hang");
    sim.setFault(2, "hang-login");
    WriteFile(folder.File("servers.ini"),
              Section("Healthy", sim.oledbConnectionString(0)) +
                  Section("HangsQueries", sim.oledbConnectionString(1), true, 60) +
                  Section("HangsLogins", sim.oledbConnectionString(2), true, 60));
    WriteFile(folder.File("tallyvane.ini"), "[Settings]\r\nAutoRefreshInterval=1\r\n");
    TServingExporter exporter(
        {"--servers", folder.File("servers.ini"), "--settings", folder.File("tallyvane.ini")});
    ASSERT_NE(exporter.Port, 0) << exporter.Log();
    TClient client(quint16(exporter.Port));
    // The healthy server is polled again and again while the others have not answered once.
    std::set<double> polls;
    std::string page;
    SpinUntil(
        [&] {
            page = client.Get("/metrics").Body;
            const double at =
                SeriesValue(page, "tallyvane_last_poll_timestamp_seconds{server=\"Healthy\"}");
            if (!std::isnan(at)) {
                polls.insert(at);
            }
            return polls.size() >= 3;
        },
        std::chrono::seconds(20));
    EXPECT_GE(polls.size(), 3u) << page;
    EXPECT_EQ(SeriesValue(page, "tallyvane_up{server=\"Healthy\"}"), 1);
    for (const char* hung : {"HangsQueries", "HangsLogins"}) {
        EXPECT_EQ(SeriesValue(page, std::string("tallyvane_up{server=\"") + hung + "\"}"), 0);
        EXPECT_TRUE(std::isnan(SeriesValue(
            page, std::string("tallyvane_last_poll_timestamp_seconds{server=\"") + hung + "\"}")))
            << hung;
    }
    EXPECT_EQ(exporter.Stop(), 0) << "a stop does not wait for hung servers";
}

TEST(ExporterProcess, NamesThatPrintAlikeGiveDistinctSeries) {
    TTempFolder folder;
    // Names that differ only in bytes that are not UTF-8, and a valid name that reads like
    // what such a byte becomes.
    const std::string names[] = {
        "Bad\xff", "Bad\xfe", "Bad\xff\xff", "Bad\xef\xbf\xbd", "Bad\xef\xbf\xbd<FF>", "Good"};
    std::string servers;
    for (const std::string& name : names) {
        servers += Section(name, "Provider=SQLOLEDB.1;Data Source=127.0.0.1,1");
    }
    WriteFile(folder.File("servers.ini"), servers);
    const TRunResult run = RunExporter({"--servers", folder.File("servers.ini"), "--once"});
    ASSERT_EQ(run.ExitCode, 3) << run.Err;
    std::set<std::string> series;
    std::istringstream in(run.Out);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("tallyvane_up{", 0) == 0) {
            EXPECT_TRUE(series.insert(line.substr(0, line.rfind(' '))).second) << line;
        }
    }
    EXPECT_EQ(series.size(), std::size(names)) << run.Out;
    EXPECT_EQ(series.count("tallyvane_up{server=\"Good\"}"), 1u) << run.Out;

    const QString promtool = QStandardPaths::findExecutable("promtool");
    if (promtool.isEmpty()) {
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
    }
    QProcess check;
    check.start(promtool, {"check", "metrics"});
    check.write(run.Out.data(), qint64(run.Out.size()));
    check.closeWriteChannel();
    ASSERT_TRUE(check.waitForFinished(30000));
    EXPECT_EQ(check.exitCode(), 0) << check.readAllStandardError().toStdString();
}

} // namespace

TEST(ExporterProcess, ALoginThatSeesOnlyItsOwnSessionIsDownWithoutFigures) {
    TTempFolder folder;
    TdsSimProcess sim("demo");
    const struct {
        const char *label, *user, *password;
    } logins[] = {{"Admin", "sa", "Sim-Admin-1"},
                  {"Viewer", "viewer", "Sim-View-1"},
                  {"Operator", "operator", "Sim-Oper-1"},
                  {"Blind", "blind", "Sim-Blind-1"}};
    std::string servers;
    for (const auto& l : logins)
        servers += Section(l.label, sim.oledbConnectionString(0, l.user, l.password));
    WriteFile(folder.File("servers.ini"), servers);
    WriteFile(folder.File("tallyvane.ini"), "[Settings]\r\nAutoRefreshInterval=7\r\n");
    const TRunResult run = RunExporter({"--servers", folder.File("servers.ini"), "--settings",
                                        folder.File("tallyvane.ini"), "--once"});
    ASSERT_EQ(run.ExitCode, 3) << run.Err; // Blind is down
    for (const char* seeing : {"Admin", "Viewer", "Operator"}) {
        SCOPED_TRACE(seeing);
        const std::string label = std::string("{server=\"") + seeing + "\"}";
        EXPECT_EQ(SeriesValue(run.Out, "tallyvane_up" + label), 1);
        EXPECT_GT(SeriesValue(run.Out, "tallyvane_blocked_sessions" + label), 0);
    }
    EXPECT_EQ(SeriesValue(run.Out, "tallyvane_up{server=\"Blind\"}"), 0);
    EXPECT_EQ(SeriesValue(run.Out, "tallyvane_down_reason{server=\"Blind\",reason="
                                   "\"no_view_server_state\"}"),
              1);
    // No figure of a blind login: one session and nothing blocked would be a false all-clear.
    EXPECT_EQ(run.Out.find("tallyvane_sessions{server=\"Blind\"}"), std::string::npos);
    EXPECT_EQ(run.Out.find("tallyvane_blocked_sessions{server=\"Blind\"}"), std::string::npos);
    EXPECT_NE(run.Err.find("Blind: down (no_view_server_state): sees only its own session: GRANT "
                           "VIEW SERVER STATE TO [blind]"),
              std::string::npos)
        << run.Err;
}
