// The process view: filter, per-level sorting, re-selection and the wait text.
#include "ProcessView.h"

#include "Icons.h"
#include "Settings.h"
#include "UiTestSupport.h"

#include <QHeaderView>
#include <QLocale>
#include <gtest/gtest.h>

namespace {

class ProcessViewTest : public testing::Test {
protected:
    TNullOwner Owner;
    TImageList Images = MakeProcessesIL();
    std::unique_ptr<TServerData> Server = MakeMonitor(Owner, "SRV1");
    TServerData* Focused = Server.get();
    std::unique_ptr<TProcessView> View;

    void SetUp() override {
        OpenBlockingChains = false; // rows come back collapsed unless focused or opened
        View = std::make_unique<TProcessView>(Images);
        View->FocusedServer = [this] { return Focused; };
        View->resize(900, 400);
        View->show();
    }
    void TearDown() override { ResetSettings(); }

    void Show(bool onlyBlocks = false) { View->ShowProcesses(Server.get(), onlyBlocks); }

    // SPIDs of one level of the view, in display order ("" parent: the top level).
    std::vector<int> Level(const QModelIndex& parent = {}) const {
        std::vector<int> spids;
        const auto& m = View->model();
        for (int r = 0; r < m->rowCount(parent); ++r)
            spids.push_back(m->index(r, 0, parent).data().toInt());
        return spids;
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
    void SortBy(int column, Qt::SortOrder order) {
        View->header()->setSortIndicator(column, order);
    }
};

TEST_F(ProcessViewTest, WaitInfoUsesThreeDecimalsAndTheLocaleSeparator) {
    EXPECT_EQ(TProcessModel::WaitInfoText(0, "LCK_M_X", "KEY"), "");
    EXPECT_EQ(TProcessModel::WaitInfoText(-5, "LCK_M_X", "KEY"), "");
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(TProcessModel::WaitInfoText(1500, "LCK_M_U", "KEY: 5:1"),
              "1.500 sec - LCK_M_U (KEY: 5:1)");
    EXPECT_EQ(TProcessModel::WaitInfoText(12, "A", "B"), "0.012 sec - A (B)");
    // No thousands separator, whatever the locale.
    EXPECT_EQ(TProcessModel::WaitInfoText(1234567, "A", "B"), "1234.567 sec - A (B)");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(TProcessModel::WaitInfoText(1234567, "A", "B"), "1234,567 sec - A (B)");
    QLocale::setDefault(saved);
}

TEST_F(ProcessViewTest, ShowBlocksFiltersTopLevelRowsOnly) {
    // 10 blocks 11; 12 is blocked by an absent SPID; 13 blocks itself; 14 is idle.
    FillSnapshot(*Server, {{10, 0}, {14, 0}, {11, 10}, {12, 999}, {13, 13}});
    Show(false);
    EXPECT_EQ(Level(), (std::vector<int>{10, 14, 12, 13}));
    Show(true);
    EXPECT_EQ(Level(), (std::vector<int>{10, 12, 13}));
    EXPECT_EQ(Level(Find(10)), (std::vector<int>{11}));
    EXPECT_EQ(View->Model().BlockRole(TProcessModel::RowOf(Find(12))), 1);
    EXPECT_EQ(View->Model().BlockRole(TProcessModel::RowOf(Find(10))), 2);

    FillSnapshot(*Server, {{10, 0}, {14, 0}});
    Show(true);
    EXPECT_TRUE(Level().empty());
    Show(false);
    EXPECT_EQ(Level(), (std::vector<int>{10, 14}));
}

TEST_F(ProcessViewTest, ServerInErrorOrNoServerShowsNothing) {
    FillSnapshot(*Server, {{10, 0}, {11, 10}});
    Server->State = 2;
    for (bool onlyBlocks : {false, true}) {
        View->ShowProcesses(Server.get(), onlyBlocks);
        EXPECT_EQ(View->model()->rowCount({}), 0);
    }
    View->ShowProcesses(nullptr, false);
    EXPECT_EQ(View->model()->rowCount({}), 0);
    EXPECT_EQ(View->FocusedRow(), -1);
}

TEST_F(ProcessViewTest, SortsEachLevelByTheColumnsOwnKind) {
    // Top level: 9, 10, 100 idle with CPU 10, 9, 100; 50 blocks 60 (blocked by 50) and 70.
    FillSnapshot(*Server, {{9, 0, 0, 10},
                           {10, 0, 0, 9},
                           {100, 0, 0, 100},
                           {50, 0, 0, 5},
                           {60, 50, 10, 20},
                           {70, 50, 20, 3}});
    Show();
    const QModelIndex blocker = Find(50);
    ASSERT_TRUE(blocker.isValid());

    SortBy(TProcessModel::CpuTLC, Qt::AscendingOrder); // numbers: 5, 9, 10, 100
    EXPECT_EQ(Level(), (std::vector<int>{50, 10, 9, 100}));
    EXPECT_EQ(Level(Find(50)), (std::vector<int>{70, 60}));
    SortBy(TProcessModel::CpuTLC, Qt::DescendingOrder);
    EXPECT_EQ(Level(), (std::vector<int>{100, 9, 10, 50}));
    EXPECT_EQ(Level(Find(50)), (std::vector<int>{60, 70}));

    SortBy(TProcessModel::SpidTLC, Qt::AscendingOrder);
    EXPECT_EQ(Level(), (std::vector<int>{9, 10, 50, 100}));
    // As text, "10" comes before "9".
    SortBy(TProcessModel::HostNameTLC, Qt::AscendingOrder); // all empty: the order stays
    EXPECT_EQ(Level(), (std::vector<int>{9, 10, 50, 100}));

    // A rebuild sorts again by the chosen column; children never leave their parent.
    SortBy(TProcessModel::CpuTLC, Qt::AscendingOrder);
    Show();
    EXPECT_EQ(Level(), (std::vector<int>{50, 10, 9, 100}));
    EXPECT_EQ(Level(Find(50)), (std::vector<int>{70, 60}));
}

TEST_F(ProcessViewTest, BlockedBySortsAsTextAndEqualKeysKeepTheirOrder) {
    // Rows blocked by absent SPIDs stay at the top level: "Blocked by" 9, 10, 10, 9, 0.
    FillSnapshot(*Server, {{1, 0}, {21, 9}, {22, 10}, {23, 10}, {24, 9}});
    Show();
    const std::vector<int> fill = Level();
    SortBy(TProcessModel::BlockSpidTLC, Qt::AscendingOrder);
    const std::vector<int> up = Level();
    SortBy(TProcessModel::BlockSpidTLC, Qt::DescendingOrder);
    const std::vector<int> down = Level();
    // Text order: "0" < "10" < "9".
    auto blockedOf = [](int spid) { return spid == 1 ? 0 : (spid == 22 || spid == 23 ? 10 : 9); };
    ASSERT_EQ(up.size(), 5u);
    EXPECT_EQ(blockedOf(up[0]), 0);
    EXPECT_EQ(blockedOf(up[1]), 10);
    EXPECT_EQ(blockedOf(up[4]), 9);
    EXPECT_EQ(blockedOf(down[0]), 9);
    EXPECT_EQ(blockedOf(down[4]), 0);
    // Equal keys stand in fill order in both directions.
    auto relative = [&](const std::vector<int>& order, int a, int b) {
        return std::find(order.begin(), order.end(), a) < std::find(order.begin(), order.end(), b);
    };
    for (auto [a, b] : {std::pair{22, 23}, std::pair{21, 24}}) {
        EXPECT_EQ(relative(up, a, b), relative(fill, a, b)) << a << " " << b;
        EXPECT_EQ(relative(down, a, b), relative(fill, a, b)) << a << " " << b;
    }
}

TEST_F(ProcessViewTest, TextColumnsCompareLocaleAwareAndCaseSensitive) {
    FillSnapshot(
        *Server,
        {{1, 0, 0, 0, "beta"}, {2, 0, 0, 0, "Alpha"}, {3, 0, 0, 0, "alpha"}, {4, 0, 0, 0, "Beta"}});
    Show();
    const auto& m = View->Model();
    const int c = TProcessModel::HostNameTLC;
    // Row ids are the fill order: 0 "beta", 1 "Alpha", 2 "alpha", 3 "Beta". The test locale
    // (en_US) orders letters first and case second, unlike a plain code-point order.
    EXPECT_LT(m.ProcessesTLCompare(2, 3, c, Qt::AscendingOrder), 0); // "alpha" < "Beta"
    EXPECT_GT(m.ProcessesTLCompare(2, 3, c, Qt::DescendingOrder), 0);
    EXPECT_GT(m.ProcessesTLCompare(0, 1, c, Qt::AscendingOrder), 0); // "beta" > "Alpha"
    EXPECT_NE(m.ProcessesTLCompare(1, 2, c, Qt::AscendingOrder), 0); // case-sensitive: never equal
    SortBy(c, Qt::AscendingOrder);
    const std::vector<int> up = Level();
    ASSERT_EQ(up.size(), 4u);
    EXPECT_TRUE((up[0] == 2 || up[0] == 3) && (up[1] == 2 || up[1] == 3)) << up[0] << up[1];
    EXPECT_TRUE((up[2] == 1 || up[2] == 4) && (up[3] == 1 || up[3] == 4)) << up[2] << up[3];
}

TEST_F(ProcessViewTest, ReselectsADeepRowWithItsAncestorsExpanded) {
    // A chain 20 <- 21 <- 22 <- 23, a second blocker 30 <- 31, and idle 40.
    FillSnapshot(*Server,
                 {{20, 0}, {30, 0}, {40, 0}, {21, 20, 10}, {31, 30, 10}, {22, 21, 5}, {23, 22, 1}});
    Server->SelectedSpid = 23;
    Show();
    const QModelIndex deep = Find(23);
    ASSERT_TRUE(deep.isValid());
    EXPECT_EQ(View->currentIndex(), deep);
    EXPECT_EQ(Server->SelectedSpid, 23);
    for (int spid : {20, 21, 22})
        EXPECT_TRUE(View->isExpanded(Find(spid))) << spid;
    EXPECT_FALSE(View->isExpanded(Find(30)));

    // Selecting the blocker: the next rebuild selects it and expands it one level only.
    View->setCurrentIndex(Find(20));
    EXPECT_EQ(Server->SelectedSpid, 20);
    Show();
    EXPECT_EQ(View->Model().Spid(View->FocusedRow()), 20);
    EXPECT_TRUE(View->isExpanded(Find(20)));
    EXPECT_FALSE(View->isExpanded(Find(21)));

    // Without a remembered process nothing is focused and every row is collapsed.
    Server->SelectedSpid = 0;
    Show();
    EXPECT_EQ(View->FocusedRow(), -1);
    EXPECT_FALSE(View->isExpanded(Find(20)));

    // A remembered SPID absent from a snapshot survives it.
    Server->SelectedSpid = 31;
    FillSnapshot(*Server, {{20, 0}});
    Show();
    EXPECT_EQ(Server->SelectedSpid, 31);
    FillSnapshot(*Server, {{30, 0}, {31, 30, 10}});
    Show();
    EXPECT_EQ(View->Model().Spid(View->FocusedRow()), 31);
}

TEST_F(ProcessViewTest, DuplicateSpidsReselectTheFirstInFillOrder) {
    // SPID 73 twice (a parallel query), the second blocked by the first.
    FillSnapshot(*Server, {{73, 0, 0, 1}, {5, 0}, {73, 73, 40, 2}});
    Server->SelectedSpid = 73;
    Show();
    const int row = View->FocusedRow();
    ASSERT_GE(row, 0);
    EXPECT_EQ(View->Model().Parent(row), -1); // the top-level one, filled first
    EXPECT_EQ(View->Model().Text(row, TProcessModel::CpuTLC), "1");
    EXPECT_TRUE(View->isExpanded(View->Model().IndexOfRow(row)));
}

TEST_F(ProcessViewTest, EachServerKeepsItsOwnSelection) {
    auto other = MakeMonitor(Owner, "SRV2");
    FillSnapshot(*Server, {{10, 0}, {11, 0}});
    FillSnapshot(*other, {{60, 0}, {61, 0}});
    Show();
    View->setCurrentIndex(Find(11));
    Focused = other.get();
    View->ShowProcesses(other.get(), false);
    EXPECT_EQ(View->FocusedRow(), -1);
    View->setCurrentIndex(Find(60));
    Focused = Server.get();
    Show();
    EXPECT_EQ(View->FocusedSpidText(), "11");
    EXPECT_EQ(other->SelectedSpid, 60);
    // Without a focused server node, focus moves store nothing.
    Focused = nullptr;
    View->setCurrentIndex(Find(10));
    EXPECT_EQ(Server->SelectedSpid, 11);
}

TEST_F(ProcessViewTest, RowsOutliveTheSnapshotTheyCameFrom) {
    FillSnapshot(*Server, {{10, 0, 0, 0, "host-a"}, {11, 10, 1500}});
    Show();
    Server->ProcessList.Clear(); // what a failed refresh does before the view is rebuilt
    const QModelIndex i = Find(10);
    ASSERT_TRUE(i.isValid());
    EXPECT_EQ(View->Model().Text(TProcessModel::RowOf(i), TProcessModel::HostNameTLC), "host-a");
    View->viewport()->repaint();
}

} // namespace
