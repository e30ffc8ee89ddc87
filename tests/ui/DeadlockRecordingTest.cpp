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

} // namespace
