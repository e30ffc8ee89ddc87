// The main window and the blocking history: recording, kills, the history window following the
// recorder, and a history file that cannot be written.
#include "ErrorLog.h"
#include "FileNames.h"
#include "FirstStartHint.h"
#include "HistoryF.h"
#include "HistoryKillsView.h"
#include "HistoryStore.h"
#include "MainForm.h"
#include "MainFormFixture.h"
#include "ProcessExport.h"
#include "ProcessInfoF.h"
#include "ProcessModel.h"
#include "ProcessView.h"
#include "ServerListFile.h"
#include "ServerListView.h"
#include "ServerPropsF.h"
#include "SessionLookups.h"
#include "Settings.h"
#include "SettingsF.h"
#include "TdsSimProcess.h"
#include "TrayWarnings.h"
#include "UiTestSupport.h"
#include "WindowStateStore.h"

#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QToolBar>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>

using namespace mainformtest;

namespace {

TEST_F(MainFormTest, RecordsBlockingHistoryAndShowsItFromTheMenuAndToolBar) {
    TdsSimProcess sim("demo");
    WarningTimeout = 1000; // no sound: PlaySoundOnWarning off
    PlaySoundOnWarning = false;
    ShowBaloonOnWarning = false;
    SaveSettings();
    sim.setClock(0, 4.5); // 52 has waited for 51 for 4.5 s
    Start({Server("LIVE", true, ConnectionTo(sim.port(0)))});
    ASSERT_TRUE(WaitUntil([&] { return Icon(0) == 3 && !Monitor(0).Busy; }));
    Form->RefreshA->Execute();
    ASSERT_TRUE(WaitUntil([&] { return !Monitor(0).Busy; }));
    Form.reset(); // ends the episode under way as unknown and writes it

    const std::string file = THistoryStore::FileNameBeside(SettingsFileName);
    EXPECT_EQ(std::filesystem::path(file).parent_path(),
              std::filesystem::path(SettingsFileName).parent_path());
    THistoryStore store(file, THistoryStore::TMode::Read);
    const auto episodes = store.Episodes({});
    ASSERT_GE(episodes.size(), 1u);
    const TStoredEpisode& first = episodes.back();
    EXPECT_EQ(first.Episode.Server, "LIVE");
    EXPECT_EQ(first.Episode.Head.Spid, 51);
    EXPECT_EQ(first.Episode.EndKind, TEpisodeEnd::Unknown) << "the program stopped";
    EXPECT_EQ(first.Statement.value_or(""),
              "BEGIN TRAN\r\nUPDATE dbo.Salaries SET Amount = Amount * 1.02 WHERE DeptId = 7");

    Start({});
    EXPECT_TRUE(Form->menuBar()->findChildren<QMenu*>().size() > 0);
    bool inMenu = false;
    for (QAction* menu : Form->menuBar()->actions())
        if (menu->menu() && menu->menu()->actions().contains(Form->HistoryA))
            inMenu = true;
    EXPECT_TRUE(inMenu);
    EXPECT_TRUE(Form->ToolBar1->actions().contains(Form->HistoryA));
    ASSERT_TRUE(Form->HistoryA->Execute());
    auto* window = Form->findChild<THistoryF*>();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->EpisodesTV->topLevelItem(0)->text(THistoryF::ServerC), "LIVE");
}

TEST_F(MainFormTest, AKillFromTheProcessViewIsRecordedAndListedInTheHistory) {
    TdsSimProcess sim("demo");
    WarningTimeout = 65535;
    ConfirmKill = false; // the confirmation's text is the dialog's own test
    SaveSettings();
    sim.setClock(0, 11); // 51 holds up 52, 53 behind it, and 54
    Start({Server("LIVE", true, ConnectionTo(sim.port(0)))});
    ASSERT_TRUE(WaitUntil([&] { return Icon(0) == 3 && !Monitor(0).Busy; }));
    Form->ServersTL->setCurrentItem(Form->ServersTL->Node(0));
    TProcessView& view = *Form->ProcessesTL;
    ASSERT_TRUE(WaitUntil([&] { return view.model()->rowCount({}) > 0; }));
    QModelIndex head;
    for (int r = 0; r < view.model()->rowCount({}); ++r) {
        const QModelIndex i = view.model()->index(r, 0, {});
        if (view.Model().Text(TProcessModel::RowOf(i), TProcessModel::SpidTLC) == "51")
            head = i;
    }
    ASSERT_TRUE(head.isValid());
    view.setCurrentIndex(head);
    Answerer.Handler = [](QWidget* modal) {
        if (auto* card = qobject_cast<TProcessInfoF*>(modal))
            card->Button2->click();
        else
            modal->close();
    };
    ASSERT_TRUE(Form->ProcessInfoA->Execute());
    Answerer.Handler = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return !Monitor(0).Busy; }));
    EXPECT_EQ(Monitor(0).ProcessList.FindBySpid(51), nullptr) << "killed, and refreshed";
    Form.reset(); // the writer writes what it was given

    THistoryStore store(THistoryStore::FileNameBeside(SettingsFileName),
                        THistoryStore::TMode::Read);
    const std::vector<TKillRecord> kills = store.Kills({});
    ASSERT_EQ(kills.size(), 1u);
    EXPECT_EQ(kills[0].Server, "LIVE");
    EXPECT_EQ(kills[0].Spid, 51);
    EXPECT_EQ(kills[0].Login, "payroll");
    EXPECT_EQ(kills[0].BlockedCount, 3);
    EXPECT_EQ(kills[0].OpenTran, 1);
    EXPECT_EQ(kills[0].Outcome, "");
    EXPECT_EQ(kills[0].KilledBy, LocalUserName());

    Start({});
    ASSERT_TRUE(Form->HistoryA->Execute());
    auto* window = Form->findChild<THistoryF*>();
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(window->KillsV->KillsTV->topLevelItemCount(), 1);
    EXPECT_EQ(window->KillsV->KillsTV->topLevelItem(0)->text(THistoryKillsView::SpidC), "51");
    EXPECT_EQ(window->KillsV->KillsTV->topLevelItem(0)->text(THistoryKillsView::OutcomeC),
              "killed");
}

// The open history window follows the recorder: a new episode appears and its end shows
// without pressing Show, while the episode the user selected and the rows in view stay.
TEST_F(MainFormTest, TheHistoryWindowFollowsTheRecorderKeepingSelectionAndScroll) {
    TdsSimProcess sim("demo");
    WarningTimeout = 1000;
    PlaySoundOnWarning = false;
    ShowBaloonOnWarning = false;
    SaveSettings();
    {
        // Enough older episodes that the list scrolls.
        THistoryStore store(THistoryStore::FileNameBeside(SettingsFileName),
                            THistoryStore::TMode::Write);
        const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
        store.Transaction([&] {
            for (int i = 0; i < 200; ++i) {
                TEpisode e;
                e.Server = "OLD";
                e.Start = now - 3 * 3600 * 1000 + i * 10'000;
                e.End = e.Start + 5'000;
                e.EndKind = TEpisodeEnd::Ended;
                e.Head = {51, "payroll", "OLD-" + std::to_string(i), "Payroll Service"};
                store.SaveEpisode(0, e, nullptr);
            }
        });
    }
    sim.setClock(0, 4.5); // 52 has waited for 51 for 4.5 s
    Start({Server("LIVE", true, ConnectionTo(sim.port(0)))});
    ASSERT_TRUE(WaitUntil([&] { return Icon(0) == 3 && !Monitor(0).Busy; }));
    ASSERT_TRUE(Form->HistoryA->Execute());
    auto* window = Form->findChild<THistoryF*>();
    ASSERT_NE(window, nullptr);
    QTreeWidget* list = window->EpisodesTV;
    const auto liveRow = [&]() -> QTreeWidgetItem* {
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->text(THistoryF::HostC) == "APP-SRV-01")
                return list->topLevelItem(i);
        return nullptr;
    };
    // The writer may not have committed when the window opened: the episode comes by itself.
    ASSERT_TRUE(WaitUntil([&] { return liveRow() != nullptr; }));
    EXPECT_EQ(liveRow()->text(THistoryF::EndC), "going on");
    // Newest first, and the view stays at the top, where the new episodes come.
    EXPECT_EQ(list->topLevelItem(0)->text(THistoryF::ServerC), "LIVE");
    EXPECT_EQ(list->verticalScrollBar()->value(), 0);

    // The user scrolls down to an old episode and selects it.
    QTreeWidgetItem* chosen = nullptr;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(THistoryF::HostC) == "OLD-100")
            chosen = list->topLevelItem(i);
    ASSERT_NE(chosen, nullptr);
    list->setCurrentItem(chosen);
    list->scrollToItem(chosen, QAbstractItemView::PositionAtTop);
    QCoreApplication::processEvents();
    ASSERT_GT(list->verticalScrollBar()->value(), 0);
    const QString statement = window->StatementE->toPlainText();

    sim.kill(0, 51);
    Form->RefreshA->Execute();
    ASSERT_TRUE(
        WaitUntil([&] { return liveRow() && liveRow()->text(THistoryF::EndC) != "going on"; }));
    EXPECT_FALSE(liveRow()->text(THistoryF::EndC).startsWith("unknown"));
    ASSERT_NE(list->currentItem(), nullptr);
    EXPECT_EQ(list->currentItem()->text(THistoryF::HostC), "OLD-100");
    ASSERT_NE(list->itemAt(0, 0), nullptr);
    EXPECT_EQ(list->itemAt(0, 0)->text(THistoryF::HostC), "OLD-100");
    EXPECT_EQ(window->StatementE->toPlainText(), statement);
    window->close();
}

TEST_F(MainFormTest, AHistoryFileThatCannotBeWrittenGivesOneErrorAndMonitoringGoesOn) {
    TdsSimProcess sim("demo");
    WarningTimeout = 1000;
    PlaySoundOnWarning = false;
    ShowBaloonOnWarning = false;
    SaveSettings();
    // A folder where the history file should be.
    std::filesystem::create_directory(THistoryStore::FileNameBeside(SettingsFileName));
    sim.setClock(0, 4.5);
    Start({Server("LIVE", true, ConnectionTo(sim.port(0)))});
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(WaitUntil([&] { return Icon(0) == 3 && !Monitor(0).Busy; }));
        Form->RefreshA->Execute();
    }
    ASSERT_TRUE(WaitUntil([&] { return Form->ErrorsTL->topLevelItemCount() > 0; }));
    ASSERT_TRUE(WaitUntil([&] { return !Monitor(0).Busy; }));
    EXPECT_EQ(Form->ErrorsTL->topLevelItemCount(), 1);
    EXPECT_TRUE(Form->ErrorsTL->topLevelItem(0)
                    ->text(TErrorLog::ErrDescriptionTLC)
                    .startsWith("Blocking history is not being recorded."))
        << Form->ErrorsTL->topLevelItem(0)->text(TErrorLog::ErrDescriptionTLC).toStdString();
    EXPECT_EQ(Icon(0), 3) << "monitoring goes on";
}

} // namespace
