// The main window against a real tdssim that deadlocks: the report goes into the history and
// gives a tray notice (none while the server is muted), the history window shows it, and a
// restart reads on from the newest report kept, so nothing is kept or announced twice.
#include "DeadlockFixtures.h"
#include "DeadlockNotices.h"
#include "DeadlocksPane.h"
#include "ErrorLog.h"
#include "FileNames.h"
#include "HistoryF.h"
#include "HistoryRecording.h"
#include "HistoryStore.h"
#include "HistoryWriter.h"
#include "MainForm.h"
#include "MuteState.h"
#include "ServerListFile.h"
#include "ServerListView.h"
#include "Settings.h"
#include "TdsSimProcess.h"
#include "UiTestSupport.h"
#include "WindowStateStore.h"

#include <QTemporaryDir>
#include <QTreeWidget>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>

using tallyvane::testsupport::TdsSimProcess;

namespace {

const std::string kScenario = std::string(R"ini(
[server]
name = DLSRV

[login]
name = sa
password = Sim-Admin-1
sysadmin = yes

)ini") + deadlocks::kTwoSessionsToDeadlock;

class DeadlockRecordingTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    std::string ScenarioFile = [this] {
        const std::string path = Dir.filePath("deadlocks.ini").toStdString();
        std::ofstream(path) << kScenario;
        return path;
    }();
    TdsSimProcess Sim{ScenarioFile};
    TModalAnswerer Answerer;
    std::unique_ptr<TMainF> Form;

    void SetUp() override {
        InitFileNames(Dir.filePath("tallyvane").toStdString());
        SetWindowStateFile(Dir.filePath("window-state.ini"));
        ResetSettings();
        AutoRefresh = false;
        PlaySoundOnWarning = false;
        SaveSettings();
        TServerInfo info;
        info.Name = "PROD-SQL01";
        info.Enabled = true;
        info.ConnectionString = "Provider=SQLOLEDB.1;Data Source=127.0.0.1," +
                                std::to_string(Sim.port(0)) +
                                ";User ID=sa;Password=Sim-Admin-1;Persist Security Info=True";
        info.Timeout = 5;
        SaveServers({info});
    }
    void TearDown() override {
        Form.reset();
        ResetSettings();
        SetWindowStateFile(QString());
    }

    TServerData& Monitor() { return *Form->ServersTL->Node(0)->Data(); }
    void Start() {
        Form = std::make_unique<TMainF>();
        // Every snapshot may read (the program reads once a minute).
        Monitor().DeadlockReadInterval = {};
        Form->show();
    }
    // Refreshes until the monitor has handed over n reports since it started.
    bool ReadUntil(std::uint64_t n) {
        return WaitUntil(
            [&] {
                if (!Monitor().Busy && Monitor().DeadlockReadId == 0 &&
                    Monitor().DeadlockReports < n)
                    Form->RefreshA->Execute();
                return Monitor().DeadlockReports >= n;
            },
            std::chrono::seconds(20));
    }
    void Deadlock() { Sim.control("deadlock 0 57 59 victim=57"); }
    std::vector<TStoredDeadlock> Stored() {
        EXPECT_TRUE(Form->History->Writer()->Flush());
        THistoryStore store(THistoryRecording::FileName(), THistoryStore::TMode::Read);
        return store.Deadlocks({});
    }
};

TEST_F(DeadlockRecordingTest, KeepsAndAnnouncesEachDeadlockOnceAcrossARestart) {
    Start();
    // The first read learns the server's clock.
    ASSERT_TRUE(WaitUntil([&] { return Monitor().DeadlockCursor.Known(); }));
    Deadlock();
    ASSERT_TRUE(ReadUntil(1));
    EXPECT_EQ(Form->Notices->NoticesGiven(), 1);
    EXPECT_EQ(Form->Notices->LastNoticeText(),
              "Deadlock on PROD-SQL01: victim 57 (HR Portal), 59 (Report Builder) went on");
    std::vector<TStoredDeadlock> stored = Stored();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].Server, "PROD-SQL01");
    EXPECT_EQ(stored[0].Report.FirstVictim()->Spid, 57);

    // Muted: kept, not announced.
    MuteServer(Monitor(), TMuteSpan::Hour1);
    Deadlock();
    ASSERT_TRUE(ReadUntil(2));
    EXPECT_EQ(Form->Notices->NoticesGiven(), 1);
    EXPECT_EQ(Stored().size(), 2u);

    // The history window shows both, the newest first.
    ASSERT_TRUE(Form->HistoryA->Execute());
    auto* window = Form->findChild<THistoryF*>();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->DeadlocksP->DeadlocksTV->topLevelItemCount(), 2);
    EXPECT_EQ(window->DeadlocksP->DeadlocksTV->topLevelItem(0)->text(TDeadlocksPane::VictimC),
              "57 (HR Portal)");
    EXPECT_EQ(window->DeadlocksP->ProcessesTV->topLevelItemCount(), 2);
    window->close();

    // One more while the program is down; after the restart it alone is new.
    Form.reset();
    Deadlock();
    Start();
    ASSERT_TRUE(ReadUntil(1));
    EXPECT_EQ(Form->Notices->NoticesGiven(), 1);
    stored = Stored();
    EXPECT_EQ(stored.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        Form->RefreshA->Execute();
        ASSERT_TRUE(WaitUntil([&] { return !Monitor().Busy && Monitor().DeadlockReadId == 0; }));
    }
    EXPECT_EQ(Monitor().DeadlockReports, 1u);
    EXPECT_EQ(Stored().size(), 3u);
    EXPECT_EQ(Form->ErrorsTL->topLevelItemCount(), 0);
}

// The error log's descriptions, newest first.
std::vector<std::string> Logged(TMainF& form) {
    std::vector<std::string> texts;
    for (int i = 0; i < form.ErrorsTL->topLevelItemCount(); ++i)
        texts.push_back(
            form.ErrorsTL->topLevelItem(i)->text(TErrorLog::ErrDescriptionTLC).toStdString());
    return texts;
}

// The peak resident memory of this process, in MiB (VmHWM).
long PeakResidentMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6)) / 1024;
    return -1;
}

// A report of two gigabytes in the ring buffer: only its start crosses the wire; the window
// keeps it marked as cut off and says "report too large", not that a grant is missing.
TEST_F(DeadlockRecordingTest, AHugeReportIsKeptCutAndSaidToBeTooLarge) {
    Start();
    ASSERT_TRUE(WaitUntil([&] { return Monitor().DeadlockCursor.Known(); }));
    Sim.control("deadlock 0 57 59 victim=57 pad=1073741824");
    ASSERT_TRUE(ReadUntil(1));
    const std::vector<TStoredDeadlock> stored = Stored();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_TRUE(stored[0].Report.Truncated);
    EXPECT_EQ(stored[0].Report.FirstVictim()->Spid, 57);
    const std::vector<std::string> logged = Logged(*Form);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("report too large"), std::string::npos) << logged[0];
    EXPECT_EQ(logged[0].find("VIEW SERVER STATE"), std::string::npos) << logged[0];
    // Not a target, a fault check: reading the report whole would take gigabytes.
    const long peak = PeakResidentMiB();
    std::cout << "peak resident memory with a 2 GB report on the server: " << peak << " MiB\n";
    EXPECT_LT(peak, 512);
}

// A report dated a day ahead (the server's clock was wrong when it wrote it) is kept and said
// once; it is not where a restart reads on from, so the next deadlock is still recorded.
TEST_F(DeadlockRecordingTest, AReportDatedAheadDoesNotBlindTheNextStart) {
    Start();
    ASSERT_TRUE(WaitUntil([&] { return Monitor().DeadlockCursor.Known(); }));
    Sim.control("deadlock 0 57 59 victim=57 ahead=86400");
    ASSERT_TRUE(ReadUntil(1));
    ASSERT_EQ(Stored().size(), 1u);
    std::vector<std::string> logged = Logged(*Form);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("ahead of the server's clock"), std::string::npos) << logged[0];
    Deadlock();
    ASSERT_TRUE(ReadUntil(2));
    EXPECT_EQ(Stored().size(), 2u);

    Form.reset();
    Deadlock();
    Start();
    ASSERT_TRUE(ReadUntil(1));
    const std::vector<TStoredDeadlock> stored = Stored();
    EXPECT_EQ(stored.size(), 3u);
    EXPECT_EQ(Form->Notices->NoticesGiven(), 1) << "the one ahead is not announced again";
    for (int i = 0; i < 2; ++i) {
        Form->RefreshA->Execute();
        ASSERT_TRUE(WaitUntil([&] { return !Monitor().Busy && Monitor().DeadlockReadId == 0; }));
    }
    EXPECT_EQ(Monitor().DeadlockReports, 1u);
}

} // namespace
