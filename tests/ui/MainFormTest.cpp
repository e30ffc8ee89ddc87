// The main window as the program creates it: start from a folder with its files, the action
// rules, the refresh loop, the Escape rule, unregistering; the live tests run against tdssim.
#include "MainForm.h"

#include "ErrorLog.h"
#include "FileNames.h"
#include "FirstStartHint.h"
#include "HistoryF.h"
#include "HistoryKillsView.h"
#include "HistoryStore.h"
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

TEST_F(MainFormTest, UpdateRulesWithoutServers) {
    Start({});
    EXPECT_EQ(Form->windowTitle().left(17), "MS Tallyvane ver.");
    EXPECT_EQ(Form->Tray->JvTrayIcon.toolTip(), Form->windowTitle());
    EXPECT_FALSE(Enabled(Form->RefreshA));
    EXPECT_FALSE(Enabled(Form->ServerPropertiesA));
    EXPECT_FALSE(Enabled(Form->ServerUnregisterA));
    EXPECT_FALSE(Enabled(Form->ProcessInfoA));
    EXPECT_TRUE(Enabled(Form->ServerRegisterA));
    EXPECT_FALSE(Form->AutoRefreshA->isChecked());
    // Executing a disabled action does nothing, also from code or a double click.
    EXPECT_FALSE(Form->ServerPropertiesA->Execute());
    QTest::mouseDClick(Form->ServersTL->viewport(), Qt::LeftButton);
    EXPECT_EQ(Answerer.Count, 0) << Answerer.Messages.join("\n").toStdString();
    EXPECT_EQ(Form->Tray->IconIndex(), 2);
}

TEST_F(MainFormTest, UpdateRulesFollowTheFocusedServerAndProcessRow) {
    Start({Server("A", false, ConnectionTo(1)), Server("B", false, ConnectionTo(2))});
    ASSERT_EQ(Form->ServersTL->NodeCount(), 2);
    EXPECT_EQ(Form->ServersTL->Node(0)->text(0), "A");
    EXPECT_EQ(Icon(0), 0); // switched off
    EXPECT_TRUE(Enabled(Form->RefreshA));
    Form->ServersTL->setCurrentItem(nullptr);
    EXPECT_FALSE(Enabled(Form->ServerPropertiesA));
    Form->ServersTL->setCurrentItem(Form->ServersTL->Node(1));
    EXPECT_TRUE(Enabled(Form->ServerPropertiesA));
    EXPECT_TRUE(Enabled(Form->ServerUnregisterA));

    TServerData& b = Monitor(1);
    FillSnapshot(b, {{10, 0}, {11, 10, 4000}});
    b.Enabled = true; // as if monitored; the snapshot reaches the view through the node
    Form->UpdateServerNode(*Form->ServersTL->Node(1));
    EXPECT_EQ(Icon(1), 3);
    ASSERT_EQ(Form->ProcessesTL->model()->rowCount({}), 1);
    EXPECT_FALSE(Enabled(Form->ProcessInfoA)); // no row focused
    Form->ProcessesTL->setCurrentIndex(Form->ProcessesTL->model()->index(0, 0, {}));
    b.IsSysAdmin = false;
    EXPECT_FALSE(Enabled(Form->ProcessInfoA));
    b.IsSysAdmin = true;
    EXPECT_TRUE(Enabled(Form->ProcessInfoA));
    b.Enabled = false;
}

TEST_F(MainFormTest, RefreshSkipsBusyMonitorsAndFailuresReachTheErrorLog) {
    const int closed = ClosedPort();
    Start({Server("A", true, ConnectionTo(closed)), Server("B", false, ConnectionTo(closed)),
           Server("C", true, ConnectionTo(closed))});
    // FormCreate's refresh started both enabled servers; both fail to connect.
    ASSERT_TRUE(WaitUntil([&] { return !Monitor(0).Busy && !Monitor(2).Busy; }));
    EXPECT_EQ(Icon(0), 4);
    EXPECT_EQ(Icon(1), 0);
    EXPECT_EQ(Icon(2), 4);
    EXPECT_EQ(Form->Tray->IconIndex(), 4);
    ASSERT_GE(Form->ErrorsTL->topLevelItemCount(), 2);
    const QTreeWidgetItem* newest = Form->ErrorsTL->topLevelItem(0);
    // The two connects fail in either order.
    QStringList names{newest->text(TErrorLog::ErrServerTLC),
                      Form->ErrorsTL->topLevelItem(1)->text(TErrorLog::ErrServerTLC)};
    names.sort();
    EXPECT_EQ(names, (QStringList{"A", "C"}));
    EXPECT_TRUE(newest->text(TErrorLog::ErrDescriptionTLC).endsWith(" at 0x00000000)"))
        << newest->text(TErrorLog::ErrDescriptionTLC).toStdString();
    // The newest row is focused once the event loop has handled what was pending.
    EXPECT_TRUE(WaitUntil([&] { return Form->ErrorsTL->currentItem() == newest; }));

    // A busy monitor is skipped entirely, its node included.
    Monitor(0).Busy = true;
    Monitor(0).State = 0; // an update would show 1 (busy); a skipped node keeps 4
    Form->RefreshA->Execute();
    EXPECT_EQ(Icon(0), 4);
    EXPECT_EQ(Icon(1), 0);
    EXPECT_EQ(Icon(2), 1);
    EXPECT_TRUE(Monitor(2).Busy);
    Monitor(0).Busy = false;
    ASSERT_TRUE(WaitUntil([&] { return !Monitor(2).Busy; }));
}

TEST_F(MainFormTest, TheTimerFollowsAutoRefreshAfterEveryRefresh) {
    Start({Server("A", false, ConnectionTo(1))});
    EXPECT_FALSE(Form->AutoRefreshTimer.isActive());
    Form->RefreshA->Execute();
    EXPECT_FALSE(Form->AutoRefreshTimer.isActive());

    // The Autorefresh button turns it on, writes the setting and arms the timer.
    Form->AutoRefreshA->Execute();
    EXPECT_TRUE(AutoRefresh);
    EXPECT_TRUE(Form->AutoRefreshTimer.isActive());
    EXPECT_EQ(Form->AutoRefreshTimer.interval(), AutoRefreshInterval * 1000);
    AutoRefresh = false;
    LoadSettings();
    EXPECT_TRUE(AutoRefresh);

    // Every refresh restarts the countdown: 600 ms into a one-second interval, a refresh
    // puts the next tick a whole interval away.
    AutoRefreshInterval = 1;
    Form->ApplySettings();
    QSignalSpy ticks(&Form->AutoRefreshTimer, &QTimer::timeout);
    QTest::qWait(600);
    ASSERT_EQ(ticks.count(), 0);
    QElapsedTimer sinceRefresh;
    sinceRefresh.start();
    EXPECT_TRUE(Form->RefreshA->Execute());
    ASSERT_TRUE(WaitUntil([&] { return ticks.count() > 0; }));
    EXPECT_GE(sinceRefresh.elapsed(), 950);

    Form->AutoRefreshA->Execute();
    EXPECT_FALSE(Form->AutoRefreshTimer.isActive());
    Form->RefreshA->Execute();
    EXPECT_FALSE(Form->AutoRefreshTimer.isActive());
    Form->ActionList->UpdateAll();
    EXPECT_FALSE(Form->AutoRefreshA->isChecked());
}

TEST_F(MainFormTest, EscapeHidesOnlyWithTrayAndAutoHide) {
    struct TCase {
        bool Tray, AutoHide, Hides;
    };
    for (const TCase c : {TCase{true, true, true}, TCase{true, false, false},
                          TCase{false, true, false}, TCase{false, false, false}}) {
        ShowInSystemTray = c.Tray;
        AutoHideOnMinimize = c.AutoHide;
        SaveSettings();
        QFile::remove(Dir.filePath("window-state.ini")); // every case starts as designed
        Start({});
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
        int seen = 0;
        struct TCounter : QObject {
            int* Seen;
            bool eventFilter(QObject*, QEvent* e) override {
                if (e->type() == QEvent::KeyPress)
                    ++*Seen;
                return false;
            }
        } counter;
        counter.Seen = &seen;
        Form->ProcessesTL->installEventFilter(&counter);
        Form->ProcessesTL->setFocus();
        QTest::keyClick(Form->ProcessesTL, Qt::Key_Escape);
        EXPECT_EQ(seen, 0) << "the focused control never sees Escape";
        const bool hidden = !Form->isVisible() || Form->isMinimized();
        EXPECT_EQ(hidden, c.Hides) << c.Tray << c.AutoHide;
        EXPECT_EQ(Form->Tray->VisibleTaskBar, !c.Hides);
        QTest::keyClick(Form->ProcessesTL, Qt::Key_A);
        EXPECT_EQ(seen, 1) << "other keys pass";
        Form->ProcessesTL->removeEventFilter(&counter);
        Form.reset();
    }
}

QString ShownTip(const QString& tip) {
    if (!Qt::mightBeRichText(tip))
        return tip;
    QTextDocument document;
    document.setHtml(tip);
    return document.toPlainText();
}

// Sessions whose names are markup, right-to-left overrides, formulas and terminal escapes: the
// window shows them as the characters they are, exports and copies neither run nor obey them.
TEST_F(MainFormTest, HostileNamesShowAsTextAndExportAsText) {
    const std::string rlo = "\xE2\x80\xAE"; // U+202E RIGHT-TO-LEFT OVERRIDE
    const std::string scenario = "[server]\nname = EVIL\n"
                                 "[session]\nspid = 51\nlogin = =SUM(A1)\nhost = HOST-" +
                                 rlo +
                                 "gnp.exe\nprogram = <img src=/etc/passwd>\ndatabase = master\n"
                                 "open_tran = 1\n"
                                 "[session]\nspid = 52\nlogin = @evil\nhost = red\x1b[31m\x07host\n"
                                 "program = -2+3\ndatabase = master\n"
                                 "[session]\nspid = 53\nlogin = orphan\nhost = h\nprogram = p\n"
                                 "database = master\nblocked = -2\nwaittime = 5000\n"
                                 "wait_type = LCK_M_S\nwait_resource = KEY: 1:1 (ab)\n"
                                 "[block]\nwaiter = 52\nblocker = 51\nfrom = -10\n"
                                 "wait_type = LCK_M_X\nwait_resource = KEY: 1:1 (ab)\n";
    const std::string file = Dir.filePath("hostile.ini").toStdString();
    std::ofstream(file, std::ios::binary) << scenario;
    TdsSimProcess sim(file, 1);
    WarningTimeout = 65535;
    SaveSettings();
    Start({Server("SRV-" + rlo + "gnp", true, ConnectionTo(sim.port()))});
    ASSERT_TRUE(WaitUntil([&] { return Icon(0) == 3; }, std::chrono::seconds(15)));
    Form->ServersTL->setCurrentItem(Form->ServersTL->Node(0));
    TProcessView& view = *Form->ProcessesTL;
    // The three sessions and the program's own connection.
    ASSERT_TRUE(WaitUntil([&] { return view.Model().RowCount() >= 3; }));

    // The server's own name, in the tree, its tooltip and the status bar.
    const QString server = "SRV-<U+202E>gnp";
    EXPECT_EQ(Form->ServersTL->Node(0)->text(0), server);
    EXPECT_TRUE(ShownTip(Form->ServersTL->Node(0)->toolTip(0)).startsWith(server + " · "));
    EXPECT_EQ(Form->SummaryL->textFormat(), Qt::PlainText);
    EXPECT_TRUE(Form->SummaryL->text().startsWith(server + " · "));

    std::map<int, QModelIndex> rows; // by SPID, over the whole tree
    std::vector<QModelIndex> pending{QModelIndex()};
    while (!pending.empty()) {
        const QModelIndex parent = pending.back();
        pending.pop_back();
        for (int r = 0; r < view.model()->rowCount(parent); ++r) {
            const QModelIndex i = view.model()->index(r, 0, parent);
            rows[view.Model().Spid(TProcessModel::RowOf(i))] = i;
            pending.push_back(i);
        }
    }
    ASSERT_TRUE(rows.count(51) && rows.count(52) && rows.count(53));
    const auto cell = [&](int spid, int column, int role) {
        const QModelIndex i = rows[spid];
        return view.model()->index(i.row(), column, i.parent()).data(role).toString();
    };
    using M = TProcessModel;
    const struct {
        int Spid;
        int Column;
        QString Shown;
    } cases[] = {
        {51, M::HostNameTLC, "HOST-<U+202E>gnp.exe"},
        {51, M::AppNameTLC, "<img src=/etc/passwd>"},
        {51, M::LoginNameTLC, "=SUM(A1)"},
        {52, M::HostNameTLC, "red<U+001B>[31m<U+0007>host"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Shown.toStdString());
        EXPECT_EQ(cell(c.Spid, c.Column, Qt::DisplayRole), c.Shown);
        EXPECT_EQ(ShownTip(cell(c.Spid, c.Column, Qt::ToolTipRole)), c.Shown);
    }

    // The snapshot file: formulas defused, escapes gone, the program's numbers left as numbers.
    const QString csv = ProcessTreeCsv(Monitor(0).ProcessList);
    EXPECT_FALSE(csv.contains(QChar(0x1B)) || csv.contains(QChar(0x07)));
    EXPECT_TRUE(csv.contains(",'=SUM(A1)")) << csv.toStdString();
    EXPECT_TRUE(csv.contains(",'-2+3,")) << csv.toStdString();
    EXPECT_TRUE(csv.contains(",'@evil")) << csv.toStdString();
    EXPECT_TRUE(csv.contains(",red[31mhost,")) << csv.toStdString();
    EXPECT_TRUE(csv.contains(",<img src=/etc/passwd>,")) << csv.toStdString();
    EXPECT_TRUE(csv.contains(",-2,orphan,")) << csv.toStdString(); // blocked by -2, a number

    // Ctrl+C: the same rules, one line per row.
    view.setFocus();
    view.expandAll();
    view.selectAll();
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    const QString copied = QApplication::clipboard()->text();
    EXPECT_FALSE(copied.contains(QChar(0x1B)) || copied.contains(QChar(0x07)));
    EXPECT_TRUE(copied.contains("\t'=SUM(A1)")) << copied.toStdString();
    EXPECT_TRUE(copied.contains("\t'-2+3\t")) << copied.toStdString();
    EXPECT_TRUE(copied.contains("\t-2\torphan")) << copied.toStdString();
    EXPECT_TRUE(copied.contains("\tred[31mhost\t")) << copied.toStdString();
}

// A server list with a NUL is refused at start: the error log names the line, no server of it
// is half-shown, and a registration does not save over the file.
TEST_F(MainFormTest, LiveServersShowBlockingAndTheSysadminRule) {
    TdsSimProcess sim("demo", 2);
    WarningTimeout = 65535; // no warnings (and no sound) in this test
    SaveSettings();
    Start({Server("LIVE", true, ConnectionTo(sim.port(0))),
           Server("VIEWER", true, ConnectionTo(sim.port(1), "viewer", "Sim-View-1"))});
    // The demo scenario keeps some blocking on at every moment.
    ASSERT_TRUE(WaitUntil([&] { return Icon(0) == 3; }, std::chrono::seconds(15)));
    Form->ServersTL->setCurrentItem(Form->ServersTL->Node(0));
    TProcessView& view = *Form->ProcessesTL;
    ASSERT_GT(view.model()->rowCount({}), 5);
    bool blockerWithChildren = false;
    for (int r = 0; r < view.model()->rowCount({}); ++r) {
        const QModelIndex i = view.model()->index(r, 0, {});
        if (view.Model().BlockRole(TProcessModel::RowOf(i)) == 2 && view.model()->rowCount(i) > 0)
            blockerWithChildren = true;
    }
    EXPECT_TRUE(blockerWithChildren);
    EXPECT_TRUE(Monitor(0).IsSysAdmin);
    view.setCurrentIndex(view.model()->index(0, 0, {}));
    EXPECT_TRUE(Enabled(Form->ProcessInfoA));

    ASSERT_TRUE(WaitUntil([&] { return Icon(1) >= 2 && !Monitor(1).Busy; }));
    Form->ServersTL->setCurrentItem(Form->ServersTL->Node(1));
    ASSERT_TRUE(WaitUntil([&] { return view.model()->rowCount({}) > 0; }));
    view.setCurrentIndex(view.model()->index(0, 0, {}));
    EXPECT_FALSE(Monitor(1).IsSysAdmin);
    EXPECT_TRUE(Enabled(Form->ProcessInfoA)) << "VIEW SERVER STATE is enough for process info";
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, {},
                       view.visualRect(view.currentIndex()).center());
    EXPECT_EQ(Answerer.Count, 1);
}

TEST_F(MainFormTest, TheProcessViewIsRebuiltOncePerSnapshotOfTheFocusedServerOnly) {
    TdsSimProcess sim("demo", 2);
    WarningTimeout = 65535;
    SaveSettings();
    Start({Server("FOCUSED", true, ConnectionTo(sim.port(0))),
           Server("OTHER", true, ConnectionTo(sim.port(1)))});
    auto idle = [&] { return !Monitor(0).Busy && !Monitor(1).Busy; };
    ASSERT_TRUE(WaitUntil([&] { return idle() && Icon(0) >= 2 && Icon(1) >= 2; }));
    Form->ServersTL->setCurrentItem(Form->ServersTL->Node(0));
    QSignalSpy rebuilds(Form->ProcessesTL->model(), &QAbstractItemModel::modelReset);

    // Both servers refresh; the connection is open, so each goes through the busy icon, the
    // snapshot and the end of the query: one rebuild, for the focused server's new snapshot.
    for (int round = 1; round <= 3; ++round) {
        Form->RefreshA->Execute();
        ASSERT_TRUE(WaitUntil(idle));
        QCoreApplication::processEvents();
        EXPECT_EQ(rebuilds.count(), round) << "round " << round;
    }
    EXPECT_GT(Form->ProcessesTL->model()->rowCount({}), 5);

    // The other server's refreshes leave the view alone.
    rebuilds.clear();
    for (int round = 0; round < 3; ++round) {
        Monitor(1).Refresh();
        ASSERT_TRUE(WaitUntil(idle));
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(rebuilds.count(), 0);

    // A failing refresh keeps the last tree on screen, marked stale, without a rebuild; Show
    // blocks rebuilds on demand, and a server in error has no rows to show.
    sim.setFault(0, "query-error", "208");
    Form->RefreshA->Execute();
    ASSERT_TRUE(WaitUntil([&] { return idle() && Icon(0) == 4; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(rebuilds.count(), 0);
    EXPECT_GT(Form->ProcessesTL->model()->rowCount({}), 5);
    EXPECT_TRUE(Form->ProcessesTL->Model().Stale());
    Form->ShowBlocksA->Execute();
    EXPECT_EQ(rebuilds.count(), 1);
    EXPECT_EQ(Form->ProcessesTL->model()->rowCount({}), 0);
    Form->ShowBlocksA->Execute();
}

TEST_F(MainFormTest, ARefreshOfManyServersReachesEachOnceAndReArmsTheTimerAtItsEnd) {
    // More servers than a refresh takes in one go: the round goes on over several passes of
    // the event loop.
    TdsSimProcess sim("demo", 1);
    AutoRefresh = true;
    AutoRefreshInterval = 3600; // the timer never fires during the test
    WarningTimeout = 65535;
    SaveSettings();
    std::vector<TServerInfo> servers;
    for (int i = 0; i < 150; ++i)
        servers.push_back(Server("S" + std::to_string(1000 + i), true, ConnectionTo(sim.port(0))));
    Start(servers);
    auto idle = [&] {
        for (int i = 0; i < Form->ServersTL->NodeCount(); ++i)
            if (Monitor(i).Busy || Monitor(i).Snapshots == 0)
                return false;
        return Form->AutoRefreshTimer.isActive();
    };
    ASSERT_TRUE(WaitUntil(idle, std::chrono::seconds(60)));
    std::vector<std::uint64_t> before;
    for (int i = 0; i < Form->ServersTL->NodeCount(); ++i)
        before.push_back(Monitor(i).Snapshots);

    TMainF::RefreshSliceMs = 0; // every pass ends as soon as it may
    Form->RefreshA->Execute();
    int busy = 0;
    for (int i = 0; i < Form->ServersTL->NodeCount(); ++i)
        busy += Monitor(i).Busy ? 1 : 0;
    EXPECT_EQ(busy, TMainF::RefreshAtOnce); // the rest follows in the next passes
    EXPECT_FALSE(Form->AutoRefreshTimer.isActive());
    ASSERT_TRUE(WaitUntil(idle, std::chrono::seconds(60)));
    TMainF::RefreshSliceMs = 4;
    for (int i = 0; i < Form->ServersTL->NodeCount(); ++i)
        EXPECT_EQ(Monitor(i).Snapshots, before[static_cast<std::size_t>(i)] + 1) << "server " << i;
    EXPECT_EQ(Form->ErrorsTL->topLevelItemCount(), 0);
}

TEST_F(MainFormTest, TheFocusedServersDatabaseNamesComeWithoutOpeningAnyDialog) {
    TdsSimProcess sim("demo", 1);
    WarningTimeout = 65535;
    SaveSettings();
    Start({Server("PROD", true, ConnectionTo(sim.port(0)))});
    Form->ServersTL->setCurrentItem(Form->ServersTL->Node(0));
    ASSERT_TRUE(WaitUntil([&] { return !Monitor(0).Busy && Icon(0) == 3; })); // blocks
    ASSERT_TRUE(WaitUntil([&] { return !Monitor(0).DatabaseNames.empty(); }));

    // A blocked row's "Wait Info" tooltip names the database of its resource.
    Form->RefreshA->Execute();
    ASSERT_TRUE(WaitUntil([&] { return !Monitor(0).Busy; }));
    const TProcessModel& model = Form->ProcessesTL->Model();
    int keyRow = -1;
    for (int row = 0; row < model.RowCount(); ++row)
        if (model.WaitResource(row).rfind("KEY: 5:", 0) == 0)
            keyRow = row;
    ASSERT_GE(keyRow, 0);
    const QString tip = model.ToolTip(keyRow, TProcessModel::WaitInfoTLC);
    EXPECT_TRUE(tip.contains(" in Sales (5)")) << tip.toStdString();

    // One question per connection, however often the view is rebuilt.
    Form->RefreshA->Execute();
    ASSERT_TRUE(WaitUntil([&] { return !Monitor(0).Busy; }));
    int asked = 0;
    for (const auto& e : sim.logEntries())
        asked += e.at("event") == "batch" && e.at("text") == DatabaseNamesQueryText ? 1 : 0;
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(Form->ErrorsTL->topLevelItemCount(), 0);
}

TEST_F(MainFormTest, TheServersTooltipSaysWhatTheConnectionGot) {
    TdsSimProcess sim("demo", 1, std::chrono::seconds(10), {"--encryption", "required"});
    WarningTimeout = 65535;
    SaveSettings();
    Start(
        {Server("TLS", true, ConnectionTo(sim.port()) + ";Encrypt=yes;TrustServerCertificate=yes"),
         Server("PLAIN", false, ConnectionTo(ClosedPort()))});
    ASSERT_TRUE(WaitUntil([&] { return Icon(0) == 3; }, std::chrono::seconds(15)));
    // The blocking figures first, then the kind of server, then the connection's line.
    const QStringList tls = Form->ServersTL->Node(0)->toolTip(0).split('\n');
    ASSERT_EQ(tls.size(), 3);
    EXPECT_TRUE(tls[0].startsWith("TLS · ")) << tls[0].toStdString();
    EXPECT_TRUE(tls[1].startsWith("SQL Server ")) << tls[1].toStdString();
    EXPECT_EQ(tls[2].toStdString(),
              "Encrypted (TLSv1.2), certificate not verified (TrustServerCertificate)");
    EXPECT_EQ(Form->ServersTL->Node(1)->toolTip(0), "PLAIN · monitoring off"); // never connected
}

TEST_F(MainFormTest, ARefusingServerIsTriedLessOftenAndItsTooltipSaysWhen) {
    TdsSimProcess sim("demo", 2);
    sim.setFault(1, "refuse");
    WarningTimeout = 65535;
    AutoRefresh = true;
    AutoRefreshInterval = 1;
    SaveSettings();
    Start({Server("UP", true, ConnectionTo(sim.port(0))),
           Server("DOWN", true, ConnectionTo(sim.port(1)))});
    TServerData& down = Monitor(1);
    ASSERT_TRUE(WaitUntil([&] { return down.Reconnect.Failures() == 1; }));
    QElapsedTimer sinceFailure;
    sinceFailure.start();
    const QStringList tip = Form->ServersTL->Node(1)->toolTip(0).split('\n');
    EXPECT_TRUE(tip.last().startsWith("next try in ")) << tip.join('|').toStdString();

    // The automatic refresh waits at least one and a half intervals before the second try,
    // while the healthy server is refreshed every interval.
    const int upLogins = [&] {
        int n = 0;
        for (const auto& e : sim.logEntries())
            n += e.at("event") == "login-ok" ? 1 : 0;
        return n;
    }();
    ASSERT_TRUE(
        WaitUntil([&] { return down.Reconnect.Failures() == 2; }, std::chrono::seconds(20)));
    EXPECT_GE(sinceFailure.elapsed(), 1400);
    EXPECT_EQ(upLogins, 1); // one connection, kept
    EXPECT_GT(Monitor(0).ProcessList.Count(), 0);
    EXPECT_FALSE(down.Reconnect.Due());

    // The user's Refresh tries at once.
    Form->RefreshA->Execute();
    EXPECT_TRUE(down.Busy);
    ASSERT_TRUE(WaitUntil([&] { return down.Reconnect.Failures() == 3; }));

    // Back again: the first successful connect ends the wait.
    sim.clearFaults(1);
    Form->RefreshA->Execute();
    ASSERT_TRUE(WaitUntil([&] { return down.Reconnect.Failures() == 0 && Icon(1) == 3; },
                          std::chrono::seconds(15)));
    EXPECT_FALSE(Form->ServersTL->Node(1)->toolTip(0).contains("next try"));
}

} // namespace

TEST_F(MainFormTest, MenuCaptionsKeepTheirNonAsciiCharacters) {
    Start({});
    EXPECT_EQ(Form->SaveSnapshotA->text(), QString::fromUtf8("Save snapshot\u2026"));
    for (QAction* a : Form->findChildren<QAction*>())
        EXPECT_FALSE(a->text().contains(QChar(0x00E2))) << a->text().toStdString();
}
