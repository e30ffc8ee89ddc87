// Monitors against tdssim with the recorder and the writer: the episodes in the file are
// compared with what the scenario plays. The scenario clock is set before each refresh, and
// the recorder's clock follows it, so every time in the file is known in advance.
#include "EventWait.h"
#include "HistoryRecorder.h"
#include "HistoryStore.h"
#include "ServerData.h"
#include "ServerOwner.h"
#include "Settings.h"
#include "TdsSimProcess.h"
#include "TempFolder.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <gtest/gtest.h>

using tallyvane::testsupport::SpinUntil;
using tallyvane::testsupport::TdsSimProcess;

namespace {

// Head 51 is used by two sessions one after the other, so the SPID comes back as a new
// blocker at once; 72 never waits 3 s; the server goes away while 81 blocks 82.
const char* const Scenario = R"ini(
[server]
name = HIST
[session]
spid = 51
login = alice
host = H1
program = App A
open_tran = 1
to = 10
input = UPDATE a SET x = 1
[session]
spid = 51
login = bob
host = H2
program = App B
open_tran = 1
from = 10
input = UPDATE b SET y = 2
[session]
spid = 52
login = carol
host = H3
program = App C
[block]
waiter = 52
blocker = 51
from = 2
to = 10
[block]
waiter = 52
blocker = 51
from = 10
to = 20

[session]
spid = 61
login = dave
host = H4
program = Batch
open_tran = 2
input = DELETE FROM t
[session]
spid = 62
login = dave
host = H5
program = Batch
[session]
spid = 63
login = dave
host = H6
program = Batch
[block]
waiter = 62
blocker = 61
from = 1
to = 8
[block]
waiter = 63
blocker = 62
from = 3
to = 8

[session]
spid = 71
[session]
spid = 72
[block]
waiter = 72
blocker = 71
from = 4
to = 6

[session]
spid = 81
login = erin
host = H7
program = Jobs
input = EXEC dbo.LongJob
[session]
spid = 82
login = frank
host = H8
program = Jobs
[block]
waiter = 82
blocker = 81
from = 14
)ini";

class Owner : public IServerOwner {
public:
    explicit Owner(THistoryRecorder& recorder) : Recorder(recorder) {}
    void ServerChanged(TServerData& server) override { Recorder.ServerChanged(server, Settings); }
    bool Warn(TServerData&) override { return true; }
    void LogError(const std::string&, const std::exception&) override {}

    THistoryRecorder& Recorder;
    THistorySettings Settings{true, 3000, 3000};
};

class HistoryRecordingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSettings();
        Writer.Start();
        Recorder.SetWriter(&Writer);
    }
    void TearDown() override {
        Recorder.SetWriter(nullptr);
        ResetSettings();
    }

    TTempFolder Folder;
    std::string File = Folder.File("history.sqlite");
    const std::int64_t Base = TEpisodeDetector::SystemClock() / 1000 * 1000;
    std::atomic<std::int64_t> Now{Base};
    THistoryWriter Writer{File, 14, [this] { return Now.load(); }};
    THistoryRecorder Recorder{[this] { return Now.load(); }};
    Owner Monitors{Recorder};

    TServerInfo Info(const TdsSimProcess& sim, const std::string& name) {
        return {name, true, sim.oledbConnectionString(0, "sa", "Sim-Admin-1"), 5};
    }
    // One refresh at second t of the scenario.
    void At(TdsSimProcess& sim, TServerData& server, double t) {
        sim.setClock(0, t);
        Now = Base + std::llround(t * 1000);
        server.Refresh();
        // The head blocker's statement is asked for right after the snapshot.
        ASSERT_TRUE(SpinUntil([&] {
            return !server.Busy && !server.ADOConnection.HasPendingWork();
        })) << "at "
            << t;
    }
    static std::string Seconds(std::int64_t ms) {
        const double s = static_cast<double>(ms) / 1000.0;
        char text[32];
        std::snprintf(text, sizeof text, "%g", s);
        return text;
    }
    // A wait grows between the clock command and the query: show it in half seconds.
    static std::string Wait(std::int64_t ms) { return Seconds(ms / 500 * 500); }

    // One line per episode, oldest first: head, times in scenario seconds, peaks, sessions
    // with their direct blocker and longest wait, statement.
    std::vector<std::string> Recorded() {
        Recorder.StopAll();
        EXPECT_TRUE(Writer.Flush());
        THistoryStore reader(File, THistoryStore::TMode::Read);
        std::vector<TStoredEpisode> episodes = reader.Episodes({});
        // By start to the second, then by end: two starts estimated from waits may differ by
        // a few milliseconds the other way round.
        auto order = [&](const TStoredEpisode& e) {
            return std::pair((e.Episode.Start - Base + 999) / 1000, e.Episode.End);
        };
        std::sort(episodes.begin(), episodes.end(),
                  [&](const auto& a, const auto& b) { return order(a) < order(b); });
        std::vector<std::string> lines;
        for (const TStoredEpisode& stored : episodes) {
            const TEpisode& e = stored.Episode;
            // The start comes from a wait, so it is a little early: whole seconds.
            const std::int64_t start = (e.Start - Base + 999) / 1000 * 1000;
            std::string line = e.Server + " " + std::to_string(e.Head.Spid) + " " +
                               e.Head.LoginName + "/" + e.Head.HostName + "/" + e.Head.ProgramName +
                               " " + Seconds(start) + "-" + Seconds(e.End - Base) + " " +
                               (e.EndKind == TEpisodeEnd::Ended ? "ended" : "unknown") + " peak " +
                               Wait(e.PeakWait) + " x" + std::to_string(e.PeakBlocked) + " [";
            for (const TEpisodeSession& s : reader.Sessions(static_cast<std::int64_t>(e.Id))) {
                line += std::to_string(s.Key.Spid) + "<" + std::to_string(s.BlockedBy) + " " +
                        Wait(s.LongestWait) + ";";
            }
            line += "] " + stored.Statement.value_or("(none)");
            lines.push_back(line);
        }
        return lines;
    }
};

TEST_F(HistoryRecordingTest, RecordsTheEpisodesAScenarioPlays) {
    const std::string file = Folder.File("history.ini");
    WriteText(file, Scenario);
    TdsSimProcess sim(file);
    TServerData server(Monitors, Info(sim, "HIST"));
    for (double t = 0.5; t < 22; t += 1)
        At(sim, server, t);
    // The server stops answering in the middle of 81's episode, then comes back.
    sim.setFault(0, "drop");
    At(sim, server, 22.5);
    ASSERT_EQ(server.State, 2);
    sim.clearFaults(0);
    At(sim, server, 23.5);
    ASSERT_NE(server.State, 2);

    const std::vector<std::string> expected = {
        "HIST 61 dave/H4/Batch 1-7.5 ended peak 6.5 x2 [62<61 6.5;63<62 4.5;] DELETE FROM t",
        "HIST 51 alice/H1/App A 2-9.5 ended peak 7.5 x1 [52<51 7.5;] UPDATE a SET x = 1",
        "HIST 51 bob/H2/App B 10-19.5 ended peak 9.5 x1 [52<51 9.5;] UPDATE b SET y = 2",
        "HIST 81 erin/H7/Jobs 14-21.5 unknown peak 7.5 x1 [82<81 7.5;] EXEC dbo.LongJob",
        "HIST 81 erin/H7/Jobs 14-23.5 unknown peak 9.5 x1 [82<81 9.5;] EXEC dbo.LongJob",
    };
    EXPECT_EQ(Recorded(), expected);
}

TEST_F(HistoryRecordingTest, RecordsTheDemosThreeEpisodesPerPeriod) {
    TdsSimProcess sim("demo");
    TServerData server(Monitors, Info(sim, "PROD-SQL01"));
    for (double t = 0.5; t < 31; t += 1)
        At(sim, server, t);
    const std::vector<std::string> expected = {
        "PROD-SQL01 51 payroll/APP-SRV-01/Payroll Service 0-25.5 ended peak 25.5 x3 "
        "[52<51 25.5;53<52 13.5;54<51 3.5;] "
        "BEGIN TRAN\r\nUPDATE dbo.Salaries SET Amount = Amount * 1.02 WHERE DeptId = 7",
        "PROD-SQL01 57 hr_app/HR-APP-01/HR Portal 15-20.5 ended peak 5.5 x2 "
        "[58<57 5.5;59<58 4.5;] DELETE FROM dbo.Absences WHERE Until < '2020-01-01'",
        "PROD-SQL01 62 stock/WH-SCAN-02/Inventory Sync 24-29.5 ended peak 5.5 x1 "
        "[63<62 5.5;] SELECT Sku, SUM(Qty) FROM dbo.Stock GROUP BY Sku",
    };
    EXPECT_EQ(Recorded(), expected);
}

// VIEW SERVER STATE is enough: the statement comes from the input-buffer view.
TEST_F(HistoryRecordingTest, ALoginThatIsNotSysadminRecordsTheStatementThroughViewServerState) {
    TdsSimProcess sim("demo");
    TServerData server(Monitors,
                       {"REPORT", true, sim.oledbConnectionString(0, "viewer", "Sim-View-1"), 5});
    for (double t = 3.5; t < 5; t += 1)
        At(sim, server, t);
    const std::vector<std::string> recorded = Recorded();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].substr(recorded[0].size() - 16), "WHERE DeptId = 7") << recorded[0];
}

TEST_F(HistoryRecordingTest, EpisodesShorterThanTheMinimumDurationAreNotWritten) {
    TdsSimProcess sim("demo");
    TServerData server(Monitors, Info(sim, "PROD-SQL01"));
    Monitors.Settings.MinDurationMs = 10'000;
    // 51's episode lasts 26 s, 57's 6 s.
    for (double t = 14.5; t < 27; t += 1)
        At(sim, server, t);
    const std::vector<std::string> recorded = Recorded();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].rfind("PROD-SQL01 51 payroll", 0), 0u) << recorded[0];
}

} // namespace

namespace {

// The frames of the demo's long episode: one per refresh from the one that found it to the
// last that saw 51 block, and 53 first under 52 at the refresh after it began to wait (6 s).
TEST_F(HistoryRecordingTest, KeepsAFrameOfTheDemoPerRefreshWhileTheBlockingLasts) {
    TdsSimProcess sim("demo");
    TServerData server(Monitors, Info(sim, "PROD-SQL01"));
    for (double t = 0.5; t < 31; t += 1)
        At(sim, server, t);
    Recorder.StopAll();
    ASSERT_TRUE(Writer.Flush());
    THistoryStore reader(File, THistoryStore::TMode::Read);
    for (const TStoredEpisode& stored : reader.Episodes({})) {
        const TEpisode& e = stored.Episode;
        const TFramesRead read = reader.Frames(static_cast<std::int64_t>(e.Id));
        EXPECT_EQ(read.Damaged, 0);
        ASSERT_FALSE(read.Frames.empty()) << e.Head.Spid;
        // Every refresh between the first and the last frame has its frame, a second apart.
        for (std::size_t i = 1; i < read.Frames.size(); ++i)
            EXPECT_EQ(read.Frames[i].At - read.Frames[i - 1].At, 1000) << e.Head.Spid;
        EXPECT_EQ(read.Frames.back().At, e.End) << e.Head.Spid;
        if (e.Head.Spid != 51)
            continue;
        EXPECT_EQ(read.Frames.size(), 23u) << "3.5 s to 25.5 s";
        const std::vector<TEpisodeSession> sessions =
            reader.Sessions(static_cast<std::int64_t>(e.Id));
        const auto blockerOf53 = [&](const TEpisodeFrame& f) {
            for (const TFrameSession& s : f.Sessions)
                if (s.Spid == 53)
                    return s.BlockedBy;
            return 0;
        };
        EXPECT_EQ(blockerOf53(read.Frames[2]), 0) << "5.5 s";
        EXPECT_EQ(blockerOf53(read.Frames[3]), 52) << "6.5 s";
        EXPECT_EQ(read.Frames[3].At - Base, 6500);
        EXPECT_EQ(read.Frames[3].HeadStatus, "sleeping");
        EXPECT_EQ(read.Frames[3].HeadOpenTran, 1);
    }
    // The causes: payroll's chains hold up the most.
    const std::vector<TCause> causes = reader.Causes({}, TCauseKind::Login);
    ASSERT_FALSE(causes.empty());
    EXPECT_EQ(causes.front().Key, std::optional<std::string>("payroll"));
}

// A server without blocking: no frame, no episode, no write at all.
TEST_F(HistoryRecordingTest, ACalmServerWritesNothing) {
    const std::string file = Folder.File("calm.ini");
    WriteText(file, "[server]\nname = CALM\n[session]\nspid = 51\n[session]\nspid = 52\n");
    TdsSimProcess sim(file);
    TServerData server(Monitors, Info(sim, "CALM"));
    for (double t = 0.5; t < 6; t += 1)
        At(sim, server, t);
    ASSERT_TRUE(Writer.Flush());
    EXPECT_EQ(Writer.CommittedBatches(), 0u);
}

} // namespace
