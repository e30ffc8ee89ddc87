// What a DBA must be able to trust: a session keeps its row wherever it moves while the view
// holds still, blocks are never hidden by another server's error, an outage is said once and
// its end too, the kill question gives the latest figures, odd blocker values are explained,
// and the small texts read right.
#include "ErrorLog.h"
#include "FirstStartHint.h"
#include "Icons.h"
#include "MuteState.h"
#include "OutageWatch.h"
#include "ProcessInfoF.h"
#include "ProcessView.h"
#include "Settings.h"
#include "StatusSummary.h"
#include "TrayWarnings.h"
#include "UiTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QMainWindow>
#include <QMouseEvent>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

QModelIndex Find(const QAbstractItemModel& m, int spid, const QModelIndex& parent = {}) {
    for (int r = 0; r < m.rowCount(parent); ++r) {
        const QModelIndex i = m.index(r, 0, parent);
        if (i.data().toInt() == spid)
            return i;
        if (QModelIndex inner = Find(m, spid, i); inner.isValid())
            return inner;
    }
    return {};
}

class MovedSessionTest : public testing::Test {
protected:
    TNullOwner Owner;
    TImageList Images = MakeProcessesIL();
    std::unique_ptr<TServerData> Server = MakeMonitor(Owner, "SRV1");
    std::unique_ptr<TProcessView> View;
    std::chrono::steady_clock::time_point Now = std::chrono::steady_clock::time_point{} + 1h;

    void SetUp() override {
        ResetSettings();
        View = std::make_unique<TProcessView>(Images);
        View->FocusedServer = [this] { return Server.get(); };
        View->Clock = [this] { return Now; };
        View->resize(700, 400);
        View->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(View.get()));
        // The owner answers a catch-up with a rebuild from the latest snapshot.
        QObject::connect(View.get(), &TProcessView::CatchUp, View.get(), [this] { Show(); });
    }
    void TearDown() override {
        QCursor::setPos(View->mapToGlobal(QPoint(-500, -500)));
        ResetSettings();
    }
    void Show() { View->ShowProcesses(Server.get(), false); }
    void Aim() {
        const QPoint pos = View->visualRect(Find(*View->model(), 51)).center();
        QCursor::setPos(View->viewport()->mapToGlobal(pos));
        QCoreApplication::processEvents();
        QMouseEvent move(QEvent::MouseMove, pos, View->viewport()->mapToGlobal(pos), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(View->viewport(), &move);
        ASSERT_TRUE(View->Held());
    }
    QString Cell(int spid, int column) {
        return Find(*View->model(), spid).siblingAtColumn(column).data().toString();
    }
};

TEST_F(MovedSessionTest, ASessionThatMovesInTheTreeKeepsItsRowWithItsNewValues) {
    // 52 becomes blocked by 51, and 54 is released from 53, while the user aims at the rows.
    FillSnapshot(*Server, {{51, 0}, {52, 0}, {53, 0}, {54, 53, 4000}});
    Show();
    Aim();
    FillSnapshot(*Server, {{51, 0}, {52, 51, 2500}, {53, 0}, {54, 0}});
    Show();
    ASSERT_TRUE(View->CatchUpPending());
    const TProcessModel& m = View->Model();
    for (int spid : {52, 54}) {
        const int row = TProcessModel::RowOf(Find(*View->model(), spid));
        EXPECT_FALSE(m.Ended(row)) << spid;
        EXPECT_FALSE(
            Find(*View->model(), spid).data(Qt::ToolTipRole).toString().contains("has ended"))
            << spid;
    }
    // New values in place: 52 now blocked by 51, 54 by nobody.
    EXPECT_EQ(Cell(52, TProcessModel::BlockSpidTLC), "51");
    EXPECT_TRUE(Cell(52, TProcessModel::WaitInfoTLC).startsWith("2")) << Cell(52, 2).toStdString();
    EXPECT_EQ(m.BlockRole(TProcessModel::RowOf(Find(*View->model(), 52))), 1);
    EXPECT_EQ(Cell(54, TProcessModel::BlockSpidTLC), "0");
    EXPECT_FALSE(Find(*View->model(), 52).parent().isValid()); // still where it stood
    // The view catches up: now the rows move.
    QCursor::setPos(View->mapToGlobal(QPoint(-500, -500)));
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(View->viewport(), &leave);
    ASSERT_TRUE(WaitUntil([&] { return !View->CatchUpPending(); }, 2s));
    EXPECT_EQ(Find(*View->model(), 52).parent().data().toInt(), 51);
    EXPECT_FALSE(Find(*View->model(), 54).parent().isValid());
}

TEST_F(MovedSessionTest, OnlyASessionThatIsGoneShowsAsEnded) {
    FillSnapshot(*Server, {{51, 0}, {52, 51, 100}, {60, 0}});
    Show();
    Aim();
    FillSnapshot(*Server, {{51, 0}, {52, 0}});
    Show();
    EXPECT_TRUE(View->Model().Ended(TProcessModel::RowOf(Find(*View->model(), 60))));
    EXPECT_FALSE(View->Model().Ended(TProcessModel::RowOf(Find(*View->model(), 52))));
}

// A server that stopped answering keeps its last tree on screen, greyed and said to be stale.
TEST_F(MovedSessionTest, AServerThatStopsAnsweringKeepsItsLastTreeMarkedStale) {
    FillSnapshot(*Server, {{51, 0}, {52, 51, 900}});
    Show();
    Server->ProcessList.Clear();
    Server->State = 2;
    Show();
    ASSERT_TRUE(Find(*View->model(), 52).isValid());
    EXPECT_TRUE(View->Model().Stale());
    EXPECT_TRUE(
        Find(*View->model(), 52).data(Qt::ToolTipRole).toString().contains("stopped answering"));
    EXPECT_EQ(Find(*View->model(), 52).data(Qt::ForegroundRole).value<QBrush>().color(),
              QColor(140, 140, 140));
    // It answers again: live rows.
    FillSnapshot(*Server, {{51, 0}});
    Show();
    EXPECT_FALSE(View->Model().Stale());
    EXPECT_FALSE(Find(*View->model(), 52).isValid());
}

TEST_F(MovedSessionTest, OddBlockersAndCyclesAreExplainedInPlainWords) {
    FillSnapshot(*Server, {{70, 70, 500},
                           {72, -2, 4200},
                           {74, -3, 100},
                           {76, -4, 100},
                           {77, -5, 100},
                           {80, 81, 97000},
                           {81, 80, 97000},
                           {90, 80, 5000}});
    Show();
    const auto tip = [&](int spid) {
        return Find(*View->model(), spid)
            .siblingAtColumn(TProcessModel::BlockSpidTLC)
            .data(Qt::ToolTipRole)
            .toString();
    };
    const struct {
        int Spid;
        const char* Words;
    } cases[] = {{70, "its own session"},
                 {72, "orphaned distributed transaction"},
                 {74, "deferred recovery transaction"},
                 {76, "cannot be told at this moment"},
                 {77, "not tracked"},
                 {80, "A blocking cycle: SPIDs 80 → 81 → 80"},
                 {81, "A blocking cycle"},
                 {90, "Waits behind the blocking cycle"}};
    for (const auto& c : cases)
        EXPECT_TRUE(tip(c.Spid).contains(QString::fromUtf8(c.Words)))
            << c.Spid << " " << tip(c.Spid).toStdString();
    // The status line counts the cycle's sessions as blocked and names the cycle.
    Server->Enabled = true;
    const QString line = ServerSummary(*Server);
    EXPECT_TRUE(line.contains(QString::fromUtf8("1 blocking cycle (SPIDs 80 ↔ 81)")))
        << line.toStdString();
    EXPECT_TRUE(line.contains(" 8 blocked") || line.contains(" 7 blocked")) << line.toStdString();
    Server->Enabled = false;
}

TEST_F(MovedSessionTest, TheSpidColumnOnlyWidensWhileTheSameServerIsShown) {
    FillSnapshot(*Server, {{51, 0},
                           {52, 51, 1},
                           {53, 52, 1},
                           {54, 53, 1},
                           {55, 54, 1},
                           {56, 55, 1},
                           {57, 56, 1},
                           {58, 57, 1},
                           {59, 58, 1},
                           {60, 59, 1}});
    Show();
    const int deep = View->header()->sectionSize(TProcessModel::SpidTLC);
    FillSnapshot(*Server, {{51, 0}, {52, 0}});
    Show();
    EXPECT_EQ(View->header()->sectionSize(TProcessModel::SpidTLC), deep);
}

class TrayTrustTest : public testing::Test {
protected:
    TNullOwner Owner;
    std::unique_ptr<TServerData> Blocks = MakeMonitor(Owner, "PROD");
    std::unique_ptr<TServerData> Failed = MakeMonitor(Owner, "DR");
    std::unique_ptr<TServerData> Calm = MakeMonitor(Owner, "CALM");
    void SetUp() override {
        ResetSettings();
        FillSnapshot(*Blocks, {{51, 0}, {52, 51, 5000}});
        FillSnapshot(*Calm, {{60, 0}});
        FillSnapshot(*Failed, {});
        Failed->State = 2;
    }
    void TearDown() override { ResetSettings(); }
};

TEST_F(TrayTrustTest, BlocksShowThroughAnotherServersErrorAndMutedServersCountForNeither) {
    const auto muted = std::chrono::system_clock::time_point::max();
    struct TCase {
        bool MuteBlocks, MuteFailed;
        std::vector<TServerData*> Servers;
        int Index;
        bool Mark;
    } cases[] = {
        {false, false, {Blocks.get(), Failed.get()}, 3, true},
        {false, false, {Failed.get(), Blocks.get(), Calm.get()}, 3, true},
        {false, false, {Failed.get(), Calm.get()}, 4, false},
        {false, false, {Blocks.get(), Calm.get()}, 3, false},
        {false, true, {Blocks.get(), Failed.get()}, 3, false},
        {true, false, {Blocks.get(), Failed.get()}, 4, false},
        {true, true, {Blocks.get(), Failed.get()}, 2, false},
    };
    QMainWindow window;
    TImageList states = MakeServerStatesIL();
    TTrayWarnings tray(window, states);
    for (const TCase& c : cases) {
        Blocks->MutedUntil = c.MuteBlocks ? muted : std::chrono::system_clock::time_point{};
        Failed->MutedUntil = c.MuteFailed ? muted : std::chrono::system_clock::time_point{};
        EXPECT_EQ(TTrayWarnings::TrayIconIndex(c.Servers), c.Index) << c.MuteBlocks << c.MuteFailed;
        EXPECT_EQ(TTrayWarnings::TrayErrorMark(c.Servers), c.Mark);
        tray.UpdateTrayIcon(c.Servers);
        EXPECT_EQ(tray.IconIndex(), c.Index);
        EXPECT_EQ(tray.ErrorMarked(), c.Mark);
    }
    // The marked picture is the blocks picture with something more in its upper corner.
    const QImage plain = states.Icon(3).pixmap(16, 16).toImage();
    const QImage marked = MakeBlocksWithErrorIcon().pixmap(16, 16).toImage();
    EXPECT_NE(plain, marked);
    EXPECT_EQ(plain.copy(0, 8, 16, 8), marked.copy(0, 8, 16, 8)); // the padlock half as it was
}

TEST(MutedIcon, KeepsTheStatesOwnMarkBesideTheMuteMark) {
    const TImageList states = MakeServerStatesIL();
    for (int index : {2, 3, 4}) {
        const QImage state = states.Icon(index).pixmap(16, 16).toImage();
        const QImage muted = MutedIcon(states.Icon(index)).pixmap(16, 16).toImage();
        // The padlock, the cross or the arrow stands in the lower right: untouched.
        EXPECT_EQ(state.copy(8, 8, 8, 8), muted.copy(8, 8, 8, 8)) << index;
        EXPECT_NE(state, muted) << index;
    }
}

TEST_F(TrayTrustTest, AnOutageIsSaidOnceAndItsEndToo) {
    TOutageWatch watch;
    TServerData& s = *Blocks;
    s.Enabled = true;
    const QDateTime t0 = QDateTime::currentDateTime();
    using C = TOutageWatch::TChange;
    // Never answered since the start: an error, not an outage.
    s.Snapshots = 0;
    s.State = 2;
    EXPECT_EQ(watch.Update(s, t0), C::None);
    s.Snapshots = 1;
    s.State = 1;
    EXPECT_EQ(watch.Update(s, t0), C::None);
    s.State = 2;
    EXPECT_EQ(watch.Update(s, t0.addSecs(10)), C::Down);
    EXPECT_EQ(watch.Update(s, t0.addSecs(20)), C::None); // once per outage
    EXPECT_TRUE(watch.IsDown(s));
    s.State = 0;
    EXPECT_EQ(watch.Update(s, t0.addSecs(200)), C::Recovered);
    EXPECT_EQ(watch.DownSince(s), t0.addSecs(10));
    EXPECT_EQ(watch.Update(s, t0.addSecs(210)), C::None);
    s.State = 2;
    EXPECT_EQ(watch.Update(s, t0.addSecs(300)), C::Down); // the next outage
    // A login that lost VIEW SERVER STATE still answers.
    watch.Forget(s);
    s.State = 0;
    watch.Update(s, t0);
    s.State = 2;
    s.SeesOnlyOwnSession = true;
    EXPECT_EQ(watch.Update(s, t0), C::None);
    s.SeesOnlyOwnSession = false;
    s.Enabled = false;
}

TEST_F(TrayTrustTest, TheStoppedWarningFollowsItsSettingAndTheMute) {
    QMainWindow window;
    TImageList states = MakeServerStatesIL();
    TTrayWarnings tray(window, states);
    tray.SetShown(true);
    PlaySoundOnWarning = false;
    const QDateTime last = QDateTime::fromString("2026-12-11T14:02:31", Qt::ISODate);
    EXPECT_TRUE(tray.WarnStopped(*Failed, last));
    EXPECT_EQ(tray.LastBalloonText(), "DR stopped answering.\nLast answer at 14:02:31.");
    Failed->MutedUntil = std::chrono::system_clock::time_point::max();
    EXPECT_FALSE(tray.WarnStopped(*Failed, last));
    Failed->MutedUntil = {};
    WarnWhenServerStops = false;
    EXPECT_FALSE(tray.WarnStopped(*Failed, last));
    tray.SetShown(false);
}

TEST(ErrorLogOutage, DownSinceOnTheErrorRowThenARecoveredRowAndGreyErrors) {
    TImageList images = MakeLogImages();
    TErrorLog log(images);
    const QDateTime since = QDateTime::fromString("2026-12-11T14:02:40", Qt::ISODate);
    log.LogError("DR", std::runtime_error("refused"));
    log.MarkDown("DR", since);
    log.LogError("DR", std::runtime_error("refused")); // folds, and still says it
    ASSERT_EQ(log.topLevelItemCount(), 1);
    const QString text = log.topLevelItem(0)->text(TErrorLog::ErrDescriptionTLC);
    EXPECT_TRUE(text.contains(QString::fromUtf8("×2"))) << text.toStdString();
    EXPECT_TRUE(text.contains("down since " + TErrorLog::TimeText(since))) << text.toStdString();
    EXPECT_TRUE(text.startsWith("refused ( ")) << text.toStdString();
    EXPECT_TRUE(
        log.topLevelItem(0)->toolTip(TErrorLog::ErrDescriptionTLC).contains("not answered since"));
    log.MarkRecovered("DR", since, since.addSecs(192));
    ASSERT_EQ(log.topLevelItemCount(), 2);
    const QTreeWidgetItem* recovered = log.topLevelItem(0);
    EXPECT_EQ(recovered->text(TErrorLog::ErrDescriptionTLC),
              "Answers again: recovered after 3 min 12 s (down since " +
                  TErrorLog::TimeText(since) + ")");
    const QTreeWidgetItem* old = log.topLevelItem(1);
    EXPECT_TRUE(TErrorLog::IsSettled(old));
    EXPECT_EQ(old->foreground(0).color(), QColor(128, 128, 128));
    EXPECT_FALSE(old->text(TErrorLog::ErrDescriptionTLC).contains("down since"));
    // The next failure is an error of its own, not a count on the settled row.
    log.LogError("DR", std::runtime_error("refused"));
    EXPECT_EQ(log.topLevelItemCount(), 3);
    EXPECT_FALSE(TErrorLog::IsSettled(log.topLevelItem(0)));
}

TEST(KillQuestion, GivesTheLatestFiguresWithTheirTimeAndNamesTheBlockedSpids) {
    TNullOwner owner;
    auto server = MakeMonitor(owner, "PROD");
    FillSnapshot(*server, {{51, 0}, {52, 51, 1000}, {53, 52, 900}});
    server->SnapshotTime = std::chrono::system_clock::now();
    TProcessInfoF card;
    card.ServerData = server.get();
    card.Spid = 51;
    card.ReadLatestFigures();
    QString text = card.ConfirmationText();
    EXPECT_TRUE(text.contains("As of " + card.AsOfText() + " (the latest refresh):"))
        << text.toStdString();
    EXPECT_TRUE(text.contains("It blocks 2 sessions: SPIDs 52, 53.")) << text.toStdString();
    EXPECT_TRUE(card.BlockingText().contains("SPIDs 52, 53")) << card.BlockingText().toStdString();
    // The blocking ends while the card is open: the next reading says so.
    FillSnapshot(*server, {{51, 0}, {52, 0}, {53, 0}});
    card.ReadLatestFigures();
    text = card.ConfirmationText();
    EXPECT_TRUE(text.contains("It blocks no other session.")) << text.toStdString();
}

TEST(SmallTexts, TrayTooltipNamesAsManyAsFit) {
    TNullOwner owner;
    std::vector<std::unique_ptr<TServerData>> keep;
    std::vector<TServerData*> servers;
    for (int i = 0; i < 8; ++i) {
        keep.push_back(MakeMonitor(owner, "SQL0" + std::to_string(i)));
        FillSnapshot(*keep.back(), {{51, 0}, {52, 51, 1000 * (8 - i)}});
        keep.back()->Enabled = true;
        servers.push_back(keep.back().get());
    }
    const QString tip = TrayToolTip("MS Tallyvane ver.1.0", servers, 127);
    EXPECT_LE(tip.size(), 127);
    EXPECT_TRUE(tip.contains(" more: SQL0")) << tip.toStdString();
    // Every name listed after the count is whole.
    const QString rest = tip.section(" more: ", 1);
    for (const QString& name : rest.split(", "))
        EXPECT_TRUE(name == QString::fromUtf8("…") || name.size() == 5) << name.toStdString();
}

TEST(SmallTexts, FirstStartHintOfAnInstalledProgramNamesItsReadme) {
    QTemporaryDir prefix;
    QDir(prefix.path()).mkpath("bin");
    QDir(prefix.path()).mkpath("share/doc/tallyvane");
    const QString bin = prefix.filePath("bin");
    EXPECT_TRUE(TFirstStartHint::HintText(bin).contains("scripts/demo.sh"));
    QFile readme(prefix.filePath("share/doc/tallyvane/README.md.gz"));
    ASSERT_TRUE(readme.open(QIODevice::WriteOnly));
    readme.close();
    const QString text = TFirstStartHint::HintText(bin);
    EXPECT_TRUE(text.contains(prefix.filePath("share/doc/tallyvane/README.md.gz")))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QString::fromUtf8("Register server…"))) << text.toStdString();
    EXPECT_FALSE(text.contains("scripts/demo.sh"));
}

} // namespace
