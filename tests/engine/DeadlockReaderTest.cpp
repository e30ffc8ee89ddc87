// Deadlock reports read from a real tdssim's ring buffer: each report once across reads and
// across a restart of the program, a buffer that wrapped, more than one read's worth, the
// exact statement with its server-side filter, a login the server refuses (said once while
// monitoring goes on), and Msg 1205 for a client chosen as victim.
#include "DeadlockReader.h"

#include "DeadlockFixtures.h"
#include "MonitorTestSupport.h"
#include "OleException.h"

#include <QDir>
#include <QTemporaryDir>
#include <fstream>
#include <thread>

using monitortest::Batches;
using monitortest::MonitorTest;
using monitortest::RecordingOwner;
using monitortest::RefreshAndWait;
using monitortest::SimServer;
using tallyvane::testsupport::SpinUntil;
using tallyvane::testsupport::TdsSimProcess;

namespace {

// Two sessions to deadlock, a small ring buffer, and a login whose grant of VIEW SERVER STATE
// comes with VIEW SERVER PERFORMANCE STATE denied.
const std::string kScenario = std::string(R"ini(
[server]
name = DLSRV
ring_buffer = 5

[login]
name = sa
password = Sim-Admin-1
sysadmin = yes
[login]
name = perf
password = Sim-Perf-1
view_server_performance_state = no
[login]
name = blind
password = Sim-Blind-1
view_server_state = no

)ini") + deadlocks::kTwoSessionsToDeadlock;

class DeadlockOwner : public RecordingOwner {
public:
    void DeadlocksRead(TServerData&, const std::vector<TDeadlockReport>& reports) override {
        ++Calls;
        Reports.insert(Reports.end(), reports.begin(), reports.end());
    }
    int Calls = 0;
    std::vector<TDeadlockReport> Reports;
};

class DeadlockReaderTest : public MonitorTest {
protected:
    static std::string ScenarioFile(const QTemporaryDir& dir) {
        const std::string path = QDir(dir.path()).filePath("deadlocks.ini").toStdString();
        std::ofstream(path) << kScenario;
        return path;
    }

    QTemporaryDir Dir;
    TdsSimProcess Sim{ScenarioFile(Dir)};
    DeadlockOwner Deadlocks;

    std::unique_ptr<TServerData> Monitor(const std::string& user = "sa",
                                         const std::string& password = "Sim-Admin-1") {
        auto server = std::make_unique<TServerData>(Deadlocks, SimServer(Sim, 0, user, password));
        server->ReadsDeadlocks = true;
        server->DeadlockReadInterval = {}; // every snapshot may read
        return server;
    }

    // One refresh and the read behind it.
    static void Poll(TServerData& server) {
        ASSERT_TRUE(RefreshAndWait(server));
        ASSERT_TRUE(SpinUntil([&] { return server.DeadlockReadId == 0; }));
    }

    // n deadlocks of 57 and 59 now, 57 the victim.
    void Deadlock(int n = 1) {
        Sim.control("deadlock 0 57 59 victim=57 count=" + std::to_string(n));
    }

    static std::vector<std::int64_t> Times(const std::vector<TDeadlockReport>& reports) {
        std::vector<std::int64_t> times;
        for (const TDeadlockReport& r : reports)
            times.push_back(r.Time);
        return times;
    }
};

TEST_F(DeadlockReaderTest, EachReportIsReadOnceAndOlderOnesAreNotAnnounced) {
    Deadlock(2); // before the program looked: not new to it
    auto server = Monitor();
    Poll(*server); // learns the server's clock
    Poll(*server);
    EXPECT_EQ(Deadlocks.Calls, 0);

    Deadlock(2);
    Poll(*server);
    ASSERT_EQ(Deadlocks.Reports.size(), 2u);
    EXPECT_EQ(Deadlocks.Calls, 1);
    Poll(*server);
    Poll(*server);
    Deadlock();
    Poll(*server);
    ASSERT_EQ(Deadlocks.Reports.size(), 3u);
    EXPECT_EQ(server->DeadlockReports, 3u);
    const std::vector<std::int64_t> times = Times(Deadlocks.Reports);
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
    EXPECT_EQ(std::adjacent_find(times.begin(), times.end()), times.end());

    // The report as parsed: the victim and the survivor with what the sessions ran.
    const TDeadlockReport& r = Deadlocks.Reports.front();
    ASSERT_EQ(r.Processes.size(), 2u);
    const TDeadlockProcess* victim = r.FirstVictim();
    ASSERT_NE(victim, nullptr);
    EXPECT_EQ(victim->Spid, 57);
    EXPECT_EQ(victim->ProgramName, "HR Portal");
    EXPECT_EQ(victim->Statement, "DELETE FROM dbo.Absences WHERE Until < '2020-01-01'");
    EXPECT_EQ(victim->ObjectName, "HR.dbo.Absences");
    EXPECT_EQ(victim->IndexName, "PK_Absences");
    EXPECT_EQ(r.Processes[1].Spid, 59);
    EXPECT_EQ(r.Processes[1].LoginName, "reports");
    EXPECT_FALSE(r.Truncated);
    EXPECT_EQ(r.Xml.rfind("<deadlock>", 0), 0u);

    // The statements: the clock once, then the filtered read from the newest time seen.
    const std::vector<std::string> batches = Batches(Sim);
    EXPECT_EQ(std::count(batches.begin(), batches.end(), DeadlockClockQueryText), 1);
    EXPECT_NE(std::find(batches.begin(), batches.end(), DeadlockReadQuery(times[1])),
              batches.end());
    EXPECT_TRUE(Owner.Errors.empty());
    EXPECT_TRUE(Deadlocks.Errors.empty());
}

TEST_F(DeadlockReaderTest, AFirstStartReadsWhatTheRingBufferKeptOfTheLastDayOnce) {
    Deadlock(2); // before the program ever looked at this server
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const struct {
        const char* Name;
        std::chrono::system_clock::duration Backlog;
        std::size_t Read;
    } cases[] = {{"the last day", std::chrono::hours(24), 2},
                 {"only the last 100 ms", std::chrono::milliseconds(100), 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Deadlocks.Reports.clear();
        auto server = Monitor();
        server->DeadlockBacklog = c.Backlog;
        Poll(*server); // learns the server's clock
        Poll(*server);
        Poll(*server);
        EXPECT_EQ(Deadlocks.Reports.size(), c.Read);
    }
}

TEST_F(DeadlockReaderTest, AtMostOneReadAnIntervalUnlessAReadCameBackFull) {
    auto server = Monitor();
    server->DeadlockReadInterval = std::chrono::hours(1);
    Poll(*server);
    Deadlock();
    for (int i = 0; i < 3; ++i)
        Poll(*server);
    EXPECT_TRUE(Deadlocks.Reports.empty()); // the next read is an hour away
    const std::vector<std::string> batches = Batches(Sim);
    EXPECT_EQ(
        std::count_if(batches.begin(), batches.end(),
                      [](const std::string& b) { return b.find("dm_xe_sessions") != b.npos; }),
        0);
}

TEST_F(DeadlockReaderTest, ARestartGoesOnFromTheNewestKnownReportOrFromTheServersClock) {
    std::int64_t newest = 0;
    {
        auto first = Monitor();
        Poll(*first);
        Deadlock(2);
        Poll(*first);
        ASSERT_EQ(Deadlocks.Reports.size(), 2u);
        newest = Deadlocks.Reports.back().Time;
    }
    Deadlocks.Reports.clear();

    // Told the newest time a history keeps: nothing twice, the one made meanwhile once.
    Deadlock();
    auto restarted = Monitor();
    restarted->SetDeadlocksKnownUpTo(newest);
    Poll(*restarted);
    Poll(*restarted);
    ASSERT_EQ(Deadlocks.Reports.size(), 1u);
    EXPECT_GT(Deadlocks.Reports[0].Time, newest);
    const std::int64_t meanwhile = Deadlocks.Reports[0].Time;

    // Told nothing: from the server's clock on.
    Deadlocks.Reports.clear();
    auto fresh = Monitor();
    Poll(*fresh);
    Poll(*fresh);
    EXPECT_TRUE(Deadlocks.Reports.empty());
    Deadlock();
    Poll(*fresh);
    Poll(*restarted);
    ASSERT_EQ(Deadlocks.Reports.size(), 2u);
    EXPECT_EQ(Deadlocks.Reports[0].Time, Deadlocks.Reports[1].Time);
    EXPECT_GT(Deadlocks.Reports[0].Time, meanwhile);
}

TEST_F(DeadlockReaderTest, AWrappedBufferGivesWhatItStillHoldsAndThenOnlyTheNew) {
    auto server = Monitor();
    Poll(*server);
    Deadlock(8); // the buffer keeps 5: three are gone before anyone read them
    Poll(*server);
    ASSERT_EQ(Deadlocks.Reports.size(), 5u);
    const std::int64_t last = Deadlocks.Reports.back().Time;
    Deadlock(3); // it wraps again: two of the five read are still in it
    Poll(*server);
    Poll(*server);
    ASSERT_EQ(Deadlocks.Reports.size(), 8u);
    for (std::size_t i = 5; i < 8; ++i)
        EXPECT_GT(Deadlocks.Reports[i].Time, last);
}

TEST_F(DeadlockReaderTest, MoreThanOneReadsWorthComesInReadsOfAHundred) {
    std::ofstream(QDir(Dir.path()).filePath("big.ini").toStdString())
        << std::string(kScenario).replace(std::string(kScenario).find("ring_buffer = 5"), 15,
                                          "ring_buffer = 1000");
    TdsSimProcess big(QDir(Dir.path()).filePath("big.ini").toStdString());
    TServerData server(Deadlocks, SimServer(big));
    server.ReadsDeadlocks = true;
    server.DeadlockReadInterval = {};
    Poll(server);
    big.control("deadlock 0 57 59 count=150");
    Poll(server);
    EXPECT_EQ(Deadlocks.Reports.size(), kDeadlockReadRows);
    // A full read is followed at once, even with an hour between reads.
    server.DeadlockReadInterval = std::chrono::hours(1);
    Poll(server);
    EXPECT_EQ(Deadlocks.Reports.size(), 150u);
    Poll(server);
    EXPECT_EQ(Deadlocks.Reports.size(), 150u);
    const std::vector<std::int64_t> times = Times(Deadlocks.Reports);
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
    EXPECT_EQ(std::adjacent_find(times.begin(), times.end()), times.end());
}

TEST_F(DeadlockReaderTest, AMegabyteReportComesWholeThroughItsChunks) {
    // nvarchar(max) arrives in PLP chunks and is fetched row by row: nothing may be lost.
    auto server = Monitor();
    Poll(*server);
    Sim.control("deadlock 0 57 59 victim=57 size=1048576");
    Poll(*server);
    ASSERT_EQ(Deadlocks.Reports.size(), 1u);
    const TDeadlockReport& r = Deadlocks.Reports.front();
    EXPECT_EQ(r.Xml.size(), 1048576u);
    EXPECT_FALSE(r.Truncated);
    EXPECT_EQ(r.Xml.rfind("</deadlock>"), r.Xml.size() - 11);
    ASSERT_EQ(r.Processes.size(), 2u);
    EXPECT_EQ(r.FirstVictim()->Spid, 57);
    EXPECT_EQ(r.Processes[1].LoginName, "reports");
    EXPECT_TRUE(Deadlocks.Errors.empty());
}

TEST_F(DeadlockReaderTest, ALoginTheServerRefusesSaysSoOnceAndIsStillMonitored) {
    auto server = Monitor("perf", "Sim-Perf-1");
    for (int i = 0; i < 4; ++i)
        Poll(*server);
    ASSERT_EQ(Deadlocks.Errors.size(), 1u);
    EXPECT_NE(Deadlocks.Errors[0].Message.find("Deadlock reports cannot be read"),
              std::string::npos);
    EXPECT_NE(Deadlocks.Errors[0].Message.find(
                  "The user does not have permission to perform this action."),
              std::string::npos)
        << Deadlocks.Errors[0].Message;
    EXPECT_TRUE(server->DeadlocksUnreadable);
    EXPECT_NE(server->State, 2);
    EXPECT_EQ(server->ProcessList.Count(), 3); // 57, 59 and the monitor's own session
    EXPECT_TRUE(Deadlocks.Reports.empty());

    // A login without VIEW SERVER STATE says that once already; it is not asked to read.
    TServerData blind(Deadlocks, SimServer(Sim, 0, "blind", "Sim-Blind-1"));
    blind.ReadsDeadlocks = true;
    blind.DeadlockReadInterval = {};
    for (int i = 0; i < 3; ++i)
        Poll(blind);
    EXPECT_EQ(Deadlocks.Errors.size(), 2u);
    // Only the first login asked the server's clock.
    const std::vector<std::string> batches = Batches(Sim);
    EXPECT_EQ(std::count(batches.begin(), batches.end(), DeadlockClockQueryText), 1);
}

TEST_F(DeadlockReaderTest, AClientChosenAsVictimGetsMsg1205Once) {
    auto server = Monitor();
    Poll(*server);
    const int spid = Sim.waitForSession(0, "Tallyvane");
    Sim.control("deadlock 0 " + std::to_string(spid) + " 59 victim=" + std::to_string(spid));
    try {
        server->CheckSysAdmin();
        ADD_FAILURE() << "the victim's next statement ran";
    } catch (const EOleException& e) {
        EXPECT_EQ(e.ErrorCode, 1205) << e.what();
        EXPECT_NE(std::string(e.what()).find("chosen as the deadlock victim"), std::string::npos);
    }
    EXPECT_TRUE(server->CheckSysAdmin());
    Poll(*server);
    ASSERT_EQ(Deadlocks.Reports.size(), 1u);
    EXPECT_EQ(Deadlocks.Reports[0].FirstVictim()->Spid, spid);
    EXPECT_EQ(Deadlocks.Reports[0].FirstVictim()->ProgramName, "Tallyvane");
}

} // namespace
