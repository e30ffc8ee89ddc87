// The warning rule: the threshold, WarnOnlyOnce, and blocking episodes across snapshots.
#include "MonitorTestSupport.h"

#include <QTemporaryDir>
#include <fstream>

using monitortest::MonitorTest;
using monitortest::RefreshAndWait;
using monitortest::SimServer;
using tallyvane::testsupport::TdsSimProcess;

namespace {

class WarningRuleTest : public MonitorTest {};

TEST_F(WarningRuleTest, ThresholdAndOncePerEpisode) {
    struct Case {
        std::uint8_t State;
        std::int32_t MaxWaitTime;
        std::uint16_t Timeout;
        bool OnlyOnce;
        bool WarnedBefore;
        bool WarnResult;
        bool ExpectWarn;
        bool ExpectWarned;
    } cases[] = {
        {1, 3000, 3000, false, false, true, true, false},  // at the threshold
        {1, 2999, 3000, false, true, true, false, false},  // below: clears Warned
        {1, 0, 0, false, false, true, true, false},        // blocked -2 only, threshold 0
        {1, 0, 1, false, false, true, false, false},       // ... any positive threshold
        {0, 9999, 3000, true, true, true, false, false},   // no block: episode over
        {2, 9999, 3000, true, true, true, false, false},   // failed read: episode over
        {1, 5000, 3000, true, false, true, true, true},    // first of an episode
        {1, 5000, 3000, true, true, true, false, true},    // same episode: quiet
        {1, 5000, 3000, true, false, false, true, false},  // no warning given: try again
        {1, 5000, 3000, false, true, true, true, false},   // without the option: always
        {1, 65535, 65535, false, false, true, true, false} // widest setting
    };
    TServerInfo info;
    info.Name = "RULE";
    info.Enabled = false;
    TServerData server(Owner, info);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "State " << int(c.State) << " Max " << c.MaxWaitTime
                                        << " Timeout " << c.Timeout << " Once " << c.OnlyOnce);
        WarningTimeout = c.Timeout;
        WarnOnlyOnce = c.OnlyOnce;
        server.State = c.State;
        server.MaxWaitTime = c.MaxWaitTime;
        server.Warned = c.WarnedBefore;
        Owner.WarnResult = c.WarnResult;
        const int before = Owner.Warnings;
        const std::size_t changes = Owner.Changes.size();
        server.NotifyChanged(true);
        EXPECT_EQ(Owner.Warnings - before, c.ExpectWarn ? 1 : 0);
        EXPECT_EQ(server.Warned, c.ExpectWarned);
        EXPECT_EQ(Owner.Changes.size(), changes + 1);
    }
    // Without the rule only ServerChanged runs.
    server.State = 1;
    server.MaxWaitTime = 99999;
    const int before = Owner.Warnings;
    server.NotifyChanged(false);
    EXPECT_EQ(Owner.Warnings, before);
}

// Two quiet sessions that the control port makes block each other.
class WarningEpisodeTest : public MonitorTest {
protected:
    static std::string ScenarioFile(const QTemporaryDir& dir) {
        const std::string path = dir.filePath("quiet.ini").toStdString();
        std::ofstream(path) << "[server]\nname = QUIET\n"
                               "[session]\nspid = 51\nlogin = app\ndatabase = master\n"
                               "[session]\nspid = 52\nlogin = app\ndatabase = master\n";
        return path;
    }
    QTemporaryDir Dir;
    TdsSimProcess Sim{ScenarioFile(Dir)};
};

TEST_F(WarningEpisodeTest, WarnOnlyOnceAcrossSnapshots) {
    WarningTimeout = 0;
    WarnOnlyOnce = true;
    TServerData server(Owner, SimServer(Sim));
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_EQ(server.State, 0);
    EXPECT_EQ(Owner.Warnings, 0);

    Sim.block(0, 52, 51);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(RefreshAndWait(server));
        EXPECT_EQ(server.State, 1);
    }
    EXPECT_EQ(Owner.Warnings, 1);
    EXPECT_TRUE(server.Warned);

    Sim.unblock(0, 52);
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_EQ(server.State, 0);
    EXPECT_FALSE(server.Warned);

    Sim.block(0, 52, 51);
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_EQ(Owner.Warnings, 2);
    EXPECT_TRUE(Owner.Errors.empty());
}

TEST_F(WarningEpisodeTest, EverySnapshotWarnsWithoutTheOption) {
    WarningTimeout = 0;
    TServerData server(Owner, SimServer(Sim));
    Sim.block(0, 52, 51);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(RefreshAndWait(server));
    }
    EXPECT_EQ(Owner.Warnings, 3);
    EXPECT_FALSE(server.Warned);

    // Above the threshold nothing is said; the wait has only just begun.
    WarningTimeout = 60000;
    ASSERT_TRUE(RefreshAndWait(server));
    EXPECT_EQ(server.State, 1);
    EXPECT_LT(server.MaxWaitTime, 60000);
    EXPECT_EQ(Owner.Warnings, 3);
}

} // namespace

namespace {

TEST_F(WarningRuleTest, AMutedServerIsNotWarnedAboutUntilTheMuteEnds) {
    TServerInfo info;
    info.Name = "MUTED";
    info.Enabled = false;
    TServerData server(Owner, info);
    WarningTimeout = 3000;
    WarnOnlyOnce = true;
    server.State = 1;
    server.MaxWaitTime = 5000;
    const auto now = std::chrono::system_clock::now();

    server.MutedUntil = now + std::chrono::minutes(15);
    const std::size_t changes = Owner.Changes.size();
    server.NotifyChanged(true);
    server.NotifyChanged(true);
    EXPECT_EQ(Owner.Warnings, 0);
    EXPECT_EQ(Owner.Changes.size(), changes + 2); // the state still reaches the window
    EXPECT_FALSE(server.Warned);

    // The mute ran out while the blocking lasts: warned once, as for a new episode.
    server.MutedUntil = now - std::chrono::seconds(1);
    server.NotifyChanged(true);
    server.NotifyChanged(true);
    EXPECT_EQ(Owner.Warnings, 1);
}

} // namespace
