// The server's lock-wait figures: read behind the deadlock read from a real tdssim playing the
// demo, counted as differences that never go down, whatever the server's counters do.
#include "LockWaits.h"

#include "MonitorTestSupport.h"

using monitortest::Batches;
using monitortest::MonitorTest;
using monitortest::RecordingOwner;
using monitortest::RefreshAndWait;
using monitortest::SimServer;
using tallyvane::testsupport::SpinUntil;
using tallyvane::testsupport::TdsSimProcess;

namespace {

TEST(LockWaitTally, CountsDifferencesAndSurvivesAServerThatStartedAgain) {
    const struct {
        std::int64_t Waits, WaitMs;
        std::uint64_t TotalWaits, TotalMs; // after the read
        std::int64_t LastWaits, LastSince;
    } reads[] = {
        {1000, 50000, 0, 0, 0, 0},    // the first read sets where counting starts
        {1004, 51500, 4, 1500, 4, 1}, // four waits, 1.5 s
        {1004, 51500, 4, 1500, 0, 2}, // nothing new
        {3, 700, 7, 2200, 3, 3},      // the server started again: all of it is new
        {10, 650, 17, 2850, 10, 4},   // cleared (time went down): counts from zero
        {-5, -1, 17, 2850, 0, 5},     // nonsense from a server: nothing, never below
    };
    TLockWaitTally tally;
    std::int64_t at = 0;
    for (const auto& r : reads) {
        tally.Take(r.Waits, r.WaitMs, ++at);
        EXPECT_EQ(tally.Waits, r.TotalWaits) << at;
        EXPECT_EQ(tally.WaitMs, r.TotalMs) << at;
        EXPECT_EQ(tally.LastWaits, r.LastWaits) << at;
        EXPECT_EQ(tally.LastSince, at == 1 ? 0 : at - 1) << at;
        EXPECT_EQ(tally.LastAt, at);
    }
    EXPECT_EQ(tally.Reads, 6u);
}

class LockWaitsTest : public MonitorTest {
protected:
    TdsSimProcess Sim{"demo"};
    RecordingOwner Owner;
};

TEST_F(LockWaitsTest, AreReadWithTheDeadlockReadAndGrowUnderTheDemo) {
    TServerData server(Owner, SimServer(Sim, 0, "sa", "Sim-Admin-1"));
    const auto poll = [&] {
        ASSERT_TRUE(RefreshAndWait(server));
        ASSERT_TRUE(
            SpinUntil([&] { return server.DeadlockReadId == 0 && server.LockWaitReadId == 0; }));
    };
    // Without the deadlock read, nothing is asked.
    Sim.setClock(0, 1);
    poll();
    EXPECT_EQ(server.LockWaits.Reads, 0u);

    server.ReadsDeadlocks = true;
    server.DeadlockReadInterval = {};
    poll(); // the deadlock read's first look only learns the server's clock
    EXPECT_EQ(server.LockWaits.Reads, 0u);
    poll();
    EXPECT_EQ(server.LockWaits.Reads, 1u);
    EXPECT_EQ(server.LockWaits.Waits, 0u) << "the first read only starts counting";
    // 52 has waited since 0 and 53 since 6: eight more seconds bring 53's wait and 16 s.
    Sim.setClock(0, 9);
    poll();
    EXPECT_EQ(server.LockWaits.Reads, 2u);
    EXPECT_GE(server.LockWaits.Waits, 1u);
    EXPECT_GE(server.LockWaits.WaitMs, 10000u);
    const std::uint64_t waitMs = server.LockWaits.WaitMs;
    // The scenario clock set back (as a restart of the demo would): the figures do not shrink.
    Sim.setClock(0, 2);
    poll();
    EXPECT_GE(server.LockWaits.WaitMs, waitMs);

    // Once per deadlock read: with the minute between reads, a refresh sends nothing more.
    server.DeadlockReadInterval = std::chrono::minutes(1);
    poll(); // the read that was due; the next is a minute away
    const std::size_t before = Batches(Sim).size();
    poll();
    poll();
    const std::vector<std::string> batches = Batches(Sim);
    EXPECT_EQ(std::count(batches.begin() + static_cast<std::ptrdiff_t>(before), batches.end(),
                         std::string(LockWaitsQueryText)),
              0);
    EXPECT_EQ(std::count(batches.begin(), batches.end(), std::string(LockWaitsQueryText)), 4);
}

// A login without VIEW SERVER STATE reads no lock waits and asks for none.
TEST_F(LockWaitsTest, ALoginThatMayNotSeeTheFiguresIsNotAsked) {
    TServerData server(Owner, SimServer(Sim, 0, "blind", "Sim-Blind-1"));
    server.ReadsDeadlocks = true;
    server.DeadlockReadInterval = {};
    RefreshAndWait(server);
    RefreshAndWait(server);
    EXPECT_EQ(server.LockWaits.Reads, 0u);
    const std::vector<std::string> batches = Batches(Sim);
    EXPECT_EQ(std::count(batches.begin(), batches.end(), std::string(LockWaitsQueryText)), 0);
}

} // namespace
