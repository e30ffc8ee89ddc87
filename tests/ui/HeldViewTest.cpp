// A process view that holds still while the user aims at a row: a new snapshot only fills in
// values, the order catches up when the pointer leaves or rests, a click acts on the row under
// the pointer, ties keep their order, and blocking chains open (by the setting, or as the user
// left them while their head session lives). The last tests drive the real window and tdssim.
#include "FileNames.h"
#include "Icons.h"
#include "MainForm.h"
#include "ProcessView.h"
#include "ServerListFile.h"
#include "ServerListView.h"
#include "Settings.h"
#include "TdsSimProcess.h"
#include "UiTestSupport.h"
#include "WindowStateStore.h"

#include <QApplication>
#include <QCursor>
#include <QFile>
#include <QMenu>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using tallyvane::testsupport::TdsSimProcess;

namespace {

using namespace std::chrono_literals;

// SPIDs of one level in display order.
std::vector<int> Level(const QAbstractItemModel& m, const QModelIndex& parent = {}) {
    std::vector<int> spids;
    for (int r = 0; r < m.rowCount(parent); ++r)
        spids.push_back(m.index(r, 0, parent).data().toInt());
    return spids;
}

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

// The pointer comes to rest over a point of the view's rows, as a mouse move brings it. (Moving
// the cursor also posts the platform's own move and enter events: they are taken now, at the
// test clock's present time.)
void PointAt(TProcessView& view, QPoint pos) {
    QCursor::setPos(view.viewport()->mapToGlobal(pos));
    QCoreApplication::processEvents();
    QMouseEvent move(QEvent::MouseMove, pos, view.viewport()->mapToGlobal(pos), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view.viewport(), &move);
}

void PointAway(TProcessView& view) {
    QCursor::setPos(view.mapToGlobal(QPoint(-500, -500)));
    QCoreApplication::processEvents();
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(view.viewport(), &leave);
}

// Snapshots are given in the server's order (blocked, then wait): a blocker's rows stand with the
// longest wait first.
class HeldViewTest : public testing::Test {
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
        PointAway(*View);
        ResetSettings();
    }
    void Show() { View->ShowProcesses(Server.get(), false); }
    const QAbstractItemModel& M() const { return *View->model(); }
    QPoint CenterOf(int spid) const { return View->visualRect(Find(M(), spid)).center(); }
    int SpidAt(QPoint pos) const { return View->indexAt(pos).siblingAtColumn(0).data().toInt(); }
};

TEST_F(HeldViewTest, TiesInWaitTimeKeepTheirPreviousOrder) {
    // 50 blocks 53 and 54 with equal waits; the server lists ties in any order.
    FillSnapshot(*Server, {{50, 0}, {40, 0}, {53, 50, 1000}, {54, 50, 1000}});
    Show();
    const std::vector<int> first = Level(M(), Find(M(), 50));
    const std::vector<int> top = Level(M());
    for (int round = 0; round < 3; ++round) {
        FillSnapshot(*Server, {{40, 0}, {50, 0}, {54, 50, 1000 + round}, {53, 50, 1000 + round}});
        Show();
        EXPECT_EQ(Level(M(), Find(M(), 50)), first) << round;
        EXPECT_EQ(Level(M()), top) << round;
    }
    // A real difference still orders them: the longest wait first.
    FillSnapshot(*Server, {{50, 0}, {40, 0}, {53, 50, 1000}, {54, 50, 3000}});
    Show();
    EXPECT_EQ(Level(M(), Find(M(), 50)), (std::vector<int>{54, 53}));
    FillSnapshot(*Server, {{50, 0}, {40, 0}, {54, 50, 1000}, {53, 50, 3000}});
    Show();
    EXPECT_EQ(Level(M(), Find(M(), 50)), (std::vector<int>{53, 54}));
}

TEST_F(HeldViewTest, WhileThePointerMovesOverTheRowsARefreshOnlyFillsInValues) {
    // 50 blocks 53 (the longer wait) and 54; 60 idle.
    FillSnapshot(*Server, {{50, 0}, {60, 0}, {54, 50, 1000}, {53, 50, 2000}});
    Show();
    ASSERT_EQ(Level(M(), Find(M(), 50)), (std::vector<int>{53, 54}));
    const QPoint aim = CenterOf(54);
    PointAt(*View, aim);
    ASSERT_TRUE(View->Held());
    QSignalSpy resets(View->model(), &QAbstractItemModel::modelReset);

    // Now 54 waits longest, 55 joins the chain and 60 has gone: nothing moves.
    FillSnapshot(*Server, {{50, 0}, {53, 50, 2100}, {54, 50, 5000}, {55, 50, 9000}});
    Show();
    EXPECT_EQ(resets.count(), 0);
    EXPECT_TRUE(View->CatchUpPending());
    EXPECT_EQ(Level(M()), (std::vector<int>{50, 60}));
    EXPECT_EQ(Level(M(), Find(M(), 50)), (std::vector<int>{53, 54}));
    EXPECT_EQ(SpidAt(aim), 54);
    const QModelIndex wait54 = Find(M(), 54).siblingAtColumn(TProcessModel::WaitInfoTLC);
    EXPECT_TRUE(wait54.data().toString().startsWith("5")) << wait54.data().toString().toStdString();
    // The ended session keeps its row, shown as ended, and offers nothing.
    const int ended = TProcessModel::RowOf(Find(M(), 60));
    EXPECT_TRUE(View->Model().Ended(ended));
    EXPECT_FALSE(View->Model().Ended(TProcessModel::RowOf(Find(M(), 54))));

    // A click and a double click act on the row under the pointer.
    QSignalSpy doubles(View.get(), &TProcessView::DoubleClicked);
    QTest::mouseClick(View->viewport(), Qt::LeftButton, {}, aim);
    EXPECT_EQ(View->FocusedSpidText(), "54");
    QTest::mouseDClick(View->viewport(), Qt::LeftButton, {}, aim);
    EXPECT_EQ(doubles.count(), 1);
    EXPECT_EQ(View->FocusedSpidText(), "54");
    EXPECT_EQ(Server->SelectedSpid, 54);

    // Still aiming a second later: still held.
    Now += 1s;
    View->CheckHold();
    EXPECT_EQ(resets.count(), 0);

    // The pointer leaves: the order catches up, the focus stays on 54.
    PointAway(*View);
    ASSERT_TRUE(WaitUntil([&] { return !View->CatchUpPending(); }, 2s));
    EXPECT_EQ(resets.count(), 1);
    EXPECT_EQ(Level(M()), (std::vector<int>{50}));
    EXPECT_EQ(Level(M(), Find(M(), 50)), (std::vector<int>{55, 54, 53}));
    EXPECT_EQ(View->FocusedSpidText(), "54");
}

TEST_F(HeldViewTest, APointerThatRestsOrAMenuDecidesHowLongTheViewHolds) {
    FillSnapshot(*Server, {{50, 0}, {54, 50, 1000}, {53, 50, 2000}});
    Show();
    PointAt(*View, CenterOf(54));
    FillSnapshot(*Server, {{50, 0}, {53, 50, 2100}, {54, 50, 5000}});
    Show();
    ASSERT_TRUE(View->CatchUpPending());
    // A pointer resting over the rows holds them for CatchUpMs, no longer.
    Now += std::chrono::milliseconds(View->CatchUpMs - 1);
    View->CheckHold();
    EXPECT_EQ(Level(M(), Find(M(), 50)), (std::vector<int>{53, 54}));
    Now += 1ms;
    EXPECT_FALSE(View->Held());
    QSignalSpy catchUps(View.get(), &TProcessView::CatchUp);
    View->CheckHold();
    EXPECT_EQ(catchUps.count(), 1);
    EXPECT_FALSE(View->CatchUpPending());
    EXPECT_EQ(Level(M(), Find(M(), 50)), (std::vector<int>{54, 53}));

    // An open menu holds them wherever the pointer is, until it closes.
    PointAway(*View);
    QMenu menu(View.get());
    menu.addAction("Process info");
    menu.popup(View->mapToGlobal(QPoint(10, 10)));
    ASSERT_TRUE(WaitUntil([&] { return QApplication::activePopupWidget() == &menu; }, 2s));
    FillSnapshot(*Server, {{50, 0}, {54, 50, 5000}, {53, 50, 9000}});
    Show();
    Now += 1h;
    View->CheckHold();
    EXPECT_EQ(Level(M(), Find(M(), 50)), (std::vector<int>{54, 53}));
    menu.close();
    ASSERT_TRUE(WaitUntil([&] { return !View->CatchUpPending(); }, 2s));
    EXPECT_EQ(Level(M(), Find(M(), 50)), (std::vector<int>{53, 54}));
}

TEST_F(HeldViewTest, ADoubleClickSplitByARebuildBelongsToTheFirstClicksRow) {
    // Rows may still move between two clicks (a rebuild while nothing held the view): the
    // double click goes to the row first pressed, or to nobody when it is gone.
    FillSnapshot(*Server, {{50, 0}, {54, 50, 1000}, {53, 50, 2000}});
    Show();
    const QPoint aim = CenterOf(54);
    QSignalSpy doubles(View.get(), &TProcessView::DoubleClicked);
    QTest::mousePress(View->viewport(), Qt::LeftButton, {}, aim);
    QTest::mouseRelease(View->viewport(), Qt::LeftButton, {}, aim);
    PointAway(*View); // the rebuild below is a full one
    FillSnapshot(*Server, {{50, 0}, {53, 50, 2100}, {54, 50, 5000}});
    Show();
    ASSERT_EQ(SpidAt(aim), 53);
    QTest::mouseDClick(View->viewport(), Qt::LeftButton, {}, aim);
    EXPECT_EQ(doubles.count(), 1);
    EXPECT_EQ(View->FocusedSpidText(), "54");

    QTest::mousePress(View->viewport(), Qt::LeftButton, {}, CenterOf(53));
    QTest::mouseRelease(View->viewport(), Qt::LeftButton, {}, CenterOf(53));
    PointAway(*View);
    FillSnapshot(*Server, {{50, 0}, {54, 50, 5000}});
    Show();
    QTest::mouseDClick(View->viewport(), Qt::LeftButton, {}, CenterOf(54) + QPoint(0, 1));
    EXPECT_EQ(doubles.count(), 1) << "53 has gone: the double click is nobody's";
}

TEST_F(HeldViewTest, BlockingChainsOpenAtEachRefreshByDefault) {
    ASSERT_TRUE(OpenBlockingChains);
    // 50 <- 51 <- 52 and 60 <- 61; 70 idle.
    const std::vector<TTestRow> rows{{50, 0},     {60, 0},     {70, 0},
                                     {51, 50, 9}, {61, 60, 5}, {52, 51, 3}};
    FillSnapshot(*Server, rows);
    Show();
    for (int spid : {50, 51, 60})
        EXPECT_TRUE(View->isExpanded(Find(M(), spid))) << spid;
    // Closed by the user, it opens again at the next refresh, and so does a new chain.
    View->collapse(Find(M(), 50));
    FillSnapshot(*Server,
                 {{50, 0}, {60, 0}, {70, 0}, {51, 50, 9}, {61, 60, 5}, {52, 51, 3}, {71, 70, 1}});
    Show();
    for (int spid : {50, 51, 60, 70})
        EXPECT_TRUE(View->isExpanded(Find(M(), spid))) << spid;
}

// The user's open chains against a live server: the head's login time decides whether the
// SPID that blocks again is the same session.
class HeldWindowTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    TModalAnswerer Answerer;
    std::unique_ptr<TMainF> Form;

    void SetUp() override {
        InitFileNames(Dir.filePath("tallyvane").toStdString());
        SetWindowStateFile(Dir.filePath("window-state.ini"));
        ResetSettings();
        AutoRefresh = false;
        WarningTimeout = 65535;
        SaveSettings();
    }
    void TearDown() override {
        if (Form)
            PointAway(*Form->ProcessesTL);
        Form.reset();
        ResetSettings();
        SetWindowStateFile(QString());
    }
    std::string Scenario() {
        const QString path = Dir.filePath("held.ini");
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write("[server]\nname = HELD\n"
                "[session]\nspid = 60\nlogin = app\nprogram = Orders\n"
                "[session]\nspid = 61\nlogin = app\n"
                "[session]\nspid = 62\nlogin = app\n"
                "[session]\nspid = 63\nlogin = app\n");
        return path.toStdString();
    }
    void Start(int port) {
        TServerInfo info;
        info.Name = "HELD";
        info.Enabled = true;
        info.ConnectionString = "Provider=SQLOLEDB.1;Data Source=127.0.0.1," +
                                std::to_string(port) +
                                ";User ID=sa;Password=Sim-Admin-1;Persist Security Info=True";
        info.Timeout = 5;
        SaveServers({info});
        Form = std::make_unique<TMainF>();
        Form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
        Form->ServersTL->setCurrentItem(Form->ServersTL->Node(0));
    }
    TServerData& Monitor() const { return *Form->ServersTL->Node(0)->Data(); }
    // One refresh, finished.
    void Refresh() {
        Form->RefreshA->Execute();
        ASSERT_TRUE(WaitUntil([&] { return !Monitor().Busy; }));
        QCoreApplication::processEvents();
    }
    const QAbstractItemModel& M() const { return *Form->ProcessesTL->model(); }
};

TEST_F(HeldWindowTest, ARefreshThatWouldReorderSiblingsMovesNothingUntilThePointerLeaves) {
    TdsSimProcess sim(Scenario());
    Start(sim.port());
    sim.block(0, 61, 60);
    QTest::qWait(300);
    sim.block(0, 62, 60);
    Refresh();
    ASSERT_TRUE(Find(M(), 60).isValid());
    TProcessView& view = *Form->ProcessesTL;
    ASSERT_EQ(Level(M(), Find(M(), 60)), (std::vector<int>{61, 62}));

    // The DBA aims at 62; meanwhile 61's wait starts again, so 62 now waits longest.
    const QPoint aim = view.visualRect(Find(M(), 62)).center();
    PointAt(view, aim);
    sim.unblock(0, 61);
    sim.block(0, 61, 60);
    QTest::qWait(50);
    PointAt(view, aim);
    Refresh();
    EXPECT_EQ(Level(M(), Find(M(), 60)), (std::vector<int>{61, 62}));
    EXPECT_EQ(view.indexAt(aim).siblingAtColumn(0).data().toInt(), 62);
    EXPECT_TRUE(view.CatchUpPending());
    // The right-click menu and its Process info act on 62.
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, aim);
    EXPECT_EQ(view.FocusedSpidText(), "62");

    PointAway(view);
    ASSERT_TRUE(WaitUntil([&] { return !view.CatchUpPending(); }, 3s));
    EXPECT_EQ(Level(M(), Find(M(), 60)), (std::vector<int>{62, 61}));
    EXPECT_EQ(view.FocusedSpidText(), "62");
}

TEST_F(HeldWindowTest, AnOpenedChainStaysOpenAcrossEpisodesOfTheSameHeadSession) {
    OpenBlockingChains = false;
    SaveSettings();
    TdsSimProcess sim(Scenario());
    Start(sim.port());
    sim.block(0, 61, 60);
    Refresh();
    TProcessView& view = *Form->ProcessesTL;
    ASSERT_TRUE(Find(M(), 60).isValid());
    EXPECT_FALSE(view.isExpanded(Find(M(), 60)));
    view.expand(Find(M(), 60));
    // Its head's login time is read once, for telling sessions apart later.
    ASSERT_TRUE(WaitUntil([&] {
        const auto it = Monitor().OpenedChains.find(60);
        return it != Monitor().OpenedChains.end() && !it->second.LoginTime.empty();
    }));

    // The episode ends and a new one of the same session begins: the chain is open again.
    sim.unblock(0, 61);
    Refresh();
    sim.block(0, 62, 60);
    Refresh();
    ASSERT_TRUE(WaitUntil([&] { return !Monitor().Busy; }));
    QCoreApplication::processEvents();
    EXPECT_TRUE(view.isExpanded(Find(M(), 60)));
    EXPECT_TRUE(Find(M(), 62).isValid());

    // Another chain was never opened by the user: it stays closed.
    sim.block(0, 63, 61);
    Refresh();
    EXPECT_FALSE(view.isExpanded(Find(M(), 61)));

    // The head session goes: a later chain of its SPID starts closed.
    sim.kill(0, 60);
    Refresh();
    EXPECT_EQ(Monitor().OpenedChains.count(60), 0u);
}

} // namespace
