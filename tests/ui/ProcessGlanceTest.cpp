// The process view read at a glance: the SPID visible at any depth, the scroll position and the
// user's expanded rows kept across refreshes, head blockers marked, wait resources explained,
// and copying rows.
#include "Icons.h"
#include "ProcessList.h"
#include "ProcessView.h"
#include "Settings.h"
#include "UiTestSupport.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

namespace {

class ProcessGlanceTest : public testing::Test {
protected:
    TNullOwner Owner;
    TImageList Images = MakeProcessesIL();
    std::unique_ptr<TServerData> Server = MakeMonitor(Owner, "SRV1");
    std::unique_ptr<TServerData> Other = MakeMonitor(Owner, "SRV2");
    TServerData* Focused = Server.get();
    std::unique_ptr<TProcessView> View;

    void SetUp() override {
        OpenBlockingChains = false; // chains open as the user leaves them
        View = std::make_unique<TProcessView>(Images);
        View->FocusedServer = [this] { return Focused; };
        View->resize(500, 300);
        View->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(View.get()));
    }
    void TearDown() override { ResetSettings(); }
    void Show(TServerData* server = nullptr) {
        Focused = server ? server : Server.get();
        View->ShowProcesses(Focused, false);
    }
    QModelIndex Find(int spid, const QModelIndex& parent = {}) const {
        const auto* m = View->model();
        for (int r = 0; r < m->rowCount(parent); ++r) {
            const QModelIndex i = m->index(r, 0, parent);
            if (i.data().toInt() == spid)
                return i;
            if (QModelIndex inner = Find(spid, i); inner.isValid())
                return inner;
        }
        return {};
    }
    // A chain 51 <- 52 <- ... <- 51 + depth.
    std::vector<TTestRow> Chain(int depth) {
        std::vector<TTestRow> rows{{51, 0}};
        for (int i = 1; i <= depth; ++i)
            rows.push_back({51 + i, 50 + i, 1000 * i});
        return rows;
    }
};

TEST_F(ProcessGlanceTest, TheSpidFitsItsCellAtAnyDepth) {
    for (int depth : {0, 1, 5, 12}) {
        SCOPED_TRACE(depth);
        std::vector<TTestRow> rows = Chain(depth);
        rows.push_back({32000, 0}); // the widest number a SPID can have
        FillSnapshot(*Server, rows);
        Server->SelectedSpid = 51 + depth; // focusing the deepest row expands its ancestors
        Show();
        const QModelIndex deepest = Find(51 + depth);
        ASSERT_TRUE(deepest.isValid());
        ASSERT_TRUE(View->visualRect(deepest).isValid());
        // The cell left after indentation holds the icon and the SPID without cutting it.
        const QRect cell = View->visualRect(deepest);
        const int needed = View->iconSize().width() +
                           View->fontMetrics().horizontalAdvance(QStringLiteral("32000"));
        EXPECT_GE(cell.width(), needed);
    }
    // A narrower snapshot of the same server leaves the width (the columns beside it do not
    // jump at every refresh); another server's view gives it back, down to the designed width.
    const int widest = View->header()->sectionSize(TProcessModel::SpidTLC);
    FillSnapshot(*Server, {{51, 0}});
    Show();
    EXPECT_EQ(View->header()->sectionSize(TProcessModel::SpidTLC), widest);
    View->ShowProcesses(nullptr, false);
    Show();
    EXPECT_EQ(View->header()->sectionSize(TProcessModel::SpidTLC), 72);
    EXPECT_FALSE(View->SpidWidthChosen());

    // A width the user dragged is his: rebuilds leave it alone.
    QHeaderView* header = View->header();
    const QPoint divider(header->sectionViewportPosition(0) + header->sectionSize(0) - 1,
                         header->height() / 2);
    QTest::mousePress(header->viewport(), Qt::LeftButton, {}, divider);
    QTest::mouseMove(header->viewport(), divider + QPoint(-20, 0));
    QTest::mouseRelease(header->viewport(), Qt::LeftButton, {}, divider + QPoint(-20, 0));
    ASSERT_TRUE(View->SpidWidthChosen());
    const int chosen = header->sectionSize(0);
    FillSnapshot(*Server, Chain(12));
    Server->SelectedSpid = 63;
    Show();
    EXPECT_EQ(header->sectionSize(0), chosen);
}

TEST_F(ProcessGlanceTest, HorizontalScrollSurvivesRefreshesOfTheSameServer) {
    FillSnapshot(*Server, Chain(3));
    Server->SelectedSpid = 53;
    Show();
    QScrollBar* bar = View->horizontalScrollBar();
    ASSERT_GT(bar->maximum(), 0); // 500 pixels show a fraction of the columns
    bar->setValue(bar->maximum() / 2);
    const int where = bar->value();
    for (int i = 0; i < 3; ++i) {
        FillSnapshot(*Server, Chain(3));
        Show();
        EXPECT_EQ(bar->value(), where);
        EXPECT_EQ(View->Model().Spid(View->FocusedRow()), 53);
    }
    // Another server has the same columns: the user stays where he scrolled to.
    FillSnapshot(*Other, Chain(1));
    Show(Other.get());
    EXPECT_EQ(bar->value(), where);
}

TEST_F(ProcessGlanceTest, RowsTheUserExpandedStayExpandedPerServer) {
    // 51 <- 52 <- 53 and 60 <- 61; nothing focused.
    const std::vector<TTestRow> rows{{51, 0}, {60, 0}, {52, 51, 9}, {61, 60, 5}, {53, 52, 3}};
    FillSnapshot(*Server, rows);
    Show();
    View->expand(Find(51));
    View->expand(Find(52));
    FillSnapshot(*Server, rows);
    Show();
    EXPECT_TRUE(View->isExpanded(Find(51)));
    EXPECT_TRUE(View->isExpanded(Find(52)));
    EXPECT_FALSE(View->isExpanded(Find(60)));

    // Another server keeps its own; coming back finds the chain still open.
    FillSnapshot(*Other, rows);
    Show(Other.get());
    EXPECT_FALSE(View->isExpanded(Find(51)));
    Show();
    EXPECT_TRUE(View->isExpanded(Find(52)));

    // Collapsing is remembered too.
    View->collapse(Find(51));
    Show();
    EXPECT_FALSE(View->isExpanded(Find(51)));
    EXPECT_TRUE(View->isExpanded(Find(52)) || !Find(52).isValid());

    // The path is by SPID: 53 now waits on 60 instead; 60 was never opened.
    View->expand(Find(51));
    FillSnapshot(*Server, {{51, 0}, {60, 0}, {52, 51, 9}, {53, 60, 3}});
    Show();
    EXPECT_TRUE(View->isExpanded(Find(51)));
    EXPECT_FALSE(View->isExpanded(Find(60)));

    // The focused-row rule still applies on top: focusing 61 expands 60 for this rebuild only.
    FillSnapshot(*Server, rows);
    Server->SelectedSpid = 61;
    Show();
    EXPECT_TRUE(View->isExpanded(Find(60)));
    Server->SelectedSpid = 0;
    Show();
    EXPECT_FALSE(View->isExpanded(Find(60)));

    // A chain stays open across episodes while its head session is there...
    FillSnapshot(*Server, {{51, 0}});
    Show();
    FillSnapshot(*Server, rows);
    Show();
    EXPECT_TRUE(View->isExpanded(Find(51)));
    EXPECT_TRUE(View->isExpanded(Find(52)));
    // ... and is forgotten once it is gone: a later session with its SPID starts collapsed.
    FillSnapshot(*Server, {{60, 0}});
    Show();
    FillSnapshot(*Server, rows);
    Show();
    EXPECT_FALSE(View->isExpanded(Find(51)));
}

TEST_F(ProcessGlanceTest, HeadBlockersAreMarkedAndSayWhatTheyHoldUp) {
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    // 51 sleeps with an open transaction and holds up 52 and 53; 52 blocks 53 in turn; 60
    // runs and holds up 61.
    FillSnapshot(*Server, {{51, 0}, {60, 0}, {52, 51, 26000}, {53, 52, 9000}, {61, 60, 500}});
    TProcessItem* idle = Server->ProcessList.FindBySpid(51);
    idle->Status = "sleeping";
    idle->OpenTran = 1;
    Server->ProcessList.FindBySpid(60)->Status = "runnable";
    Server->ProcessList.FindBySpid(60)->OpenTran = 1;
    Show();
    const TProcessModel& m = View->Model();
    const int r51 = TProcessModel::RowOf(Find(51));
    const int r60 = TProcessModel::RowOf(Find(60));
    View->expand(Find(51));
    const int r52 = TProcessModel::RowOf(Find(52));
    EXPECT_EQ(m.ToolTip(r51, TProcessModel::SpidTLC),
              "51\nHead blocker\nBlocking: 2 (total wait 35.0 s)\nSleeping with an open "
              "transaction: probably a forgotten transaction (nothing runs that would commit it)");
    EXPECT_EQ(m.ToolTip(r60, TProcessModel::SpidTLC),
              "60\nHead blocker\nBlocking: 1 (total wait 0.5 s)");
    EXPECT_EQ(m.ToolTip(r52, TProcessModel::SpidTLC), "52"); // blocked itself: no head
    EXPECT_TRUE(Find(51).data(Qt::FontRole).value<QFont>().bold());
    EXPECT_FALSE(Find(52).data(Qt::FontRole).value<QFont>().bold());
    QLocale::setDefault(saved);
}

TEST_F(ProcessGlanceTest, WaitInfoTooltipExplainsTheResource) {
    FillSnapshot(*Server, {{51, 0}, {52, 51, 1500}, {53, 51, 700}});
    TProcessItem* key = Server->ProcessList.FindBySpid(52);
    key->LastWaitType = "LCK_M_U";
    key->WaitResource = "KEY: 5:72057594043301888 (8194443284a0)";
    Server->ProcessList.FindBySpid(53)->WaitResource = "nothing we know";
    Server->DatabaseNames = {{5, "Sales"}};
    Server->SelectedSpid = 52;
    Show();
    const TProcessModel& m = View->Model();
    const QString tip = m.ToolTip(TProcessModel::RowOf(Find(52)), TProcessModel::WaitInfoTLC);
    EXPECT_TRUE(tip.endsWith("\nKey lock on a row of index (hobt 72057594043301888) in Sales "
                             "(5), key hash 8194443284a0"))
        << tip.toStdString();
    // An unknown text is not explained; the cell's text stays the tooltip.
    const int r53 = TProcessModel::RowOf(Find(53));
    EXPECT_EQ(m.ToolTip(r53, TProcessModel::WaitInfoTLC), m.Text(r53, TProcessModel::WaitInfoTLC));
}

TEST_F(ProcessGlanceTest, CtrlCCopiesTheSelectedRowsWithAHeader) {
    FillSnapshot(*Server, {{51, 0, 0, 7, "APP\tSRV"}, {60, 0, 0, 9, "WEB"}, {52, 51, 1500}});
    Show();
    View->header()->moveSection(TProcessModel::CpuTLC, 1); // the user's column order counts
    View->header()->hideSection(TProcessModel::MemusageTLC);
    View->selectionModel()->select(Find(60),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    View->selectionModel()->select(Find(51),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    View->setFocus();
    QApplication::clipboard()->clear();
    QTest::keyClick(View.get(), Qt::Key_C, Qt::ControlModifier);
    const QStringList lines = QApplication::clipboard()->text().split('\n');
    ASSERT_EQ(lines.size(), 4); // header, two rows, and the final line break
    EXPECT_TRUE(lines[0].startsWith("SPID\tCPU\tDBName\tWait Info\t")) << lines[0].toStdString();
    EXPECT_FALSE(lines[0].contains("MemUsage"));
    EXPECT_EQ(lines[0].count('\t'), 11);
    // Display order, not selection order; a tab inside a cell cannot split it.
    EXPECT_TRUE(lines[1].startsWith("51\t7\t")) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].contains("\tAPP SRV\t"));
    EXPECT_TRUE(lines[2].startsWith("60\t9\t"));
    EXPECT_EQ(lines[3], "");

    // Nothing selected: the clipboard keeps what it had.
    View->clearSelection();
    QApplication::clipboard()->setText("kept");
    QTest::keyClick(View.get(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "kept");
}

} // namespace
