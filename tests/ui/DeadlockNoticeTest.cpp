// The tray notice for deadlocks: its text over a table of report shapes, and when it is given:
// the setting, a muted server, a hidden icon, reports from before the start, notices that
// come together.
#include "DeadlockFixtures.h"
#include "DeadlockNotices.h"
#include "DeadlockText.h"
#include "Icons.h"
#include "MuteState.h"
#include "Settings.h"
#include "TrayWarnings.h"
#include "UiTestSupport.h"

#include <QMainWindow>
#include <QTest>
#include <gtest/gtest.h>

namespace {

using namespace deadlocks;

TEST(DeadlockNoticeText, NamesTheVictimAndWhoWentOn) {
    TDeadlockReport noVictim = TwoWay(1);
    noVictim.Processes[0].Victim = false;
    TDeadlockReport twoVictims = ThreeWay(1);
    twoVictims.Processes[2].Victim = true;
    TDeadlockReport hostile = TwoWay(1);
    hostile.Processes[0].ProgramName = "HR\xE2\x80\xAE"
                                       "Portal\n" +
                                       std::string(300, 'x');
    TDeadlockReport crowd = Parallel(1);
    for (int i = 0; i < 5; ++i)
        crowd.Processes.push_back(
            Process("q" + std::to_string(i), 90 + i, false, "", "", "App", "S", "", "", ""));
    struct {
        const char* Name;
        std::vector<TDeadlockReport> Reports;
        const char* Text;
    } cases[] = {
        {"two-way",
         {TwoWay(1)},
         "Deadlock on PROD-SQL01: victim 57 (HR Portal), 59 (Report Builder) went on"},
        {"three-way, one without a program",
         {ThreeWay(1)},
         "Deadlock on PROD-SQL01: victim 71 (Shop), 70 (Nightly Load) and 72 went on"},
        {"a parallel query: the victim's threads end with it",
         {Parallel(1)},
         "Deadlock on PROD-SQL01: victim 80 (Ledger Report)"},
        {"two victims",
         {twoVictims},
         "Deadlock on PROD-SQL01: victims 71 (Shop) and 72, 70 (Nightly Load) went on"},
        {"no victim named",
         {noVictim},
         "Deadlock on PROD-SQL01: no victim named, 57 (HR Portal) and 59 (Report Builder) took "
         "part"},
        {"nobody named",
         {TDeadlockReport{}},
         "Deadlock on PROD-SQL01: the report names no process"},
        {"several in one read: the count and the last",
         {ThreeWay(1), TwoWay(2)},
         "2 deadlocks on PROD-SQL01, the last: victim 57 (HR Portal), 59 (Report Builder) went "
         "on"},
        {"many went on",
         {crowd},
         "Deadlock on PROD-SQL01: victim 80 (Ledger Report), 90 (App), 91 (App) and 3 more went "
         "on"},
        {"a program name that would turn the text, or run on",
         {hostile},
         "Deadlock on PROD-SQL01: victim 57 (HR<U+202E>Portal\n"
         "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\xE2\x80\xA6), 59 (Report Builder) went on"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(DeadlockNoticeText("PROD-SQL01", c.Reports), QString::fromUtf8(c.Text));
    }
}

class DeadlockNoticeTest : public testing::Test {
protected:
    static constexpr std::int64_t Start = 1'800'000'000'000;
    QMainWindow Window;
    TImageList States = MakeServerStatesIL();
    TTrayWarnings Tray{Window, States};
    TNullOwner Owner;
    std::unique_ptr<TServerData> Prod = MakeMonitor(Owner, "PROD-SQL01");
    std::unique_ptr<TServerData> Qa = MakeMonitor(Owner, "QA");

    void SetUp() override {
        ResetSettings();
        Tray.SetShown(true);
    }
    void TearDown() override {
        Tray.SetShown(false);
        ResetSettings();
    }
};

TEST_F(DeadlockNoticeTest, IsGivenOnlyWhenSwitchedOnShownUnmutedAndNew) {
    TDeadlockNotices notices(Tray.JvTrayIcon, [] { return Start; });
    notices.HoldOffMs = 0;
    struct {
        const char* Name;
        std::function<void()> Set;
        std::vector<TDeadlockReport> Reports;
        bool Given;
    } cases[] = {
        {"a new deadlock", [] {}, {TwoWay(Start + 1000)}, true},
        {"the setting off", [] { NotifyDeadlocks = false; }, {TwoWay(Start + 2000)}, false},
        {"the icon not shown", [&] { Tray.SetShown(false); }, {TwoWay(Start + 3000)}, false},
        {"the server muted for an hour",
         [&] { MuteServer(*Prod, TMuteSpan::Hour1); },
         {TwoWay(Start + 4000)},
         false},
        {"the mute over", [&] { MuteServer(*Prod, TMuteSpan::Off); }, {TwoWay(Start + 5000)}, true},
        {"from before the start (read again after a restart)",
         [] {},
         {TwoWay(Start - TDeadlockNotices::ClockSlackMs - 1)},
         false},
        {"a server whose clock is a little behind",
         [] {},
         {TwoWay(Start - TDeadlockNotices::ClockSlackMs)},
         true},
        {"nothing read", [] {}, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        ResetSettings();
        Tray.SetShown(true);
        c.Set();
        const int before = notices.NoticesGiven();
        EXPECT_EQ(notices.Announce(*Prod, c.Reports), c.Given);
        EXPECT_EQ(notices.NoticesGiven(), before + (c.Given ? 1 : 0));
        QTest::qWait(1); // the hold-off of nothing
    }
    EXPECT_EQ(notices.LastNoticeText(),
              "Deadlock on PROD-SQL01: victim 57 (HR Portal), 59 (Report Builder) went on");
}

TEST_F(DeadlockNoticeTest, NoticesThatComeTogetherAreGivenAsOne) {
    TDeadlockNotices notices(Tray.JvTrayIcon, [] { return Start; });
    notices.HoldOffMs = 200;
    EXPECT_TRUE(notices.Announce(*Prod, {TwoWay(Start + 1)}));
    EXPECT_EQ(notices.NoticesGiven(), 1);
    // Within the hold-off: one server twice, then another; one balloon names both.
    EXPECT_TRUE(notices.Announce(*Qa, {ThreeWay(Start + 2)}));
    EXPECT_TRUE(notices.Announce(*Prod, {TwoWay(Start + 3)}));
    EXPECT_EQ(notices.NoticesGiven(), 1);
    ASSERT_TRUE(WaitUntil([&] { return notices.NoticesGiven() == 2; }));
    EXPECT_EQ(notices.LastNoticeText(), "Deadlocks on QA and PROD-SQL01");
    // One server twice in a hold-off: the count of both reads.
    EXPECT_TRUE(notices.Announce(*Qa, {ThreeWay(Start + 4)}));
    EXPECT_TRUE(notices.Announce(*Qa, {TwoWay(Start + 5)}));
    ASSERT_TRUE(WaitUntil([&] { return notices.NoticesGiven() == 3; }));
    EXPECT_EQ(notices.LastNoticeText(),
              "2 deadlocks on QA, the last: victim 57 (HR Portal), 59 (Report Builder) went on");
}

} // namespace
