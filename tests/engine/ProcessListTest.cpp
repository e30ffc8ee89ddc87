#include "ProcessList.h"

#include "Errors.h"
#include "ProcessListFixtures.h"
#include "Settings.h"

#include <functional>
#include <gtest/gtest.h>
#include <pthread.h>
#include <string>
#include <vector>

namespace {

class ProcessListTest : public ::testing::Test {
protected:
    void SetUp() override { ResetSettings(); }
    void TearDown() override { ResetSettings(); }
};

struct TTreeCase {
    const char* Name;
    std::vector<TRow> Rows; // (spid, blocked, waittime) in query order
    std::string Expected;   // Picture() after BuildBlockTree
    bool RealBlocks;
};

TEST_F(ProcessListTest, ArrangesRowsUnderTheirBlockers) {
    const std::vector<TTreeCase> cases = {
        {"empty snapshot", {}, "", false},
        {"nobody blocked", {{1, 0}, {2, 0}}, "1:0 2:0", false},
        {"fan: children in reverse query order",
         {{10, 0}, {11, 10}, {12, 10}},
         "10:2(12:1 11:1)",
         true},
        {"chain in query order", {{20, 0}, {21, 20}, {22, 21}}, "20:2(21:1(22:1))", true},
        {"blocker placed before its own blocked row",
         {{50, 0}, {45, 41}, {41, 50}},
         "50:2(41:2(45:1))",
         true},
        {"blocker missing from the snapshot", {{30, 99}, {31, 0}}, "30:1 31:0", true},
        {"negative blocked", {{30, -5}}, "30:1", true},
        {"blocked by itself", {{40, 40}}, "40:1", false},
        {"sub-thread blocked by its own SPID", {{60, 0}, {60, 60}}, "60:2(60:1)", false},
        {"three sub-threads: all under the first row",
         {{60, 0}, {60, 60}, {60, 60}},
         "60:2(60:1 60:1)",
         false},
        {"duplicate blocker: the first in pre-order wins",
         {{7, 0}, {8, 0}, {7, 8}, {9, 7}},
         // 9 is visited first and finds the top-level 7 (row 0) before row 2.
         "7:2(9:1) 8:2(7:1)",
         true},
        {"duplicate blocker: a nested item before a later top-level one",
         {{8, 0}, {9, 7}, {7, 8}, {7, 0}},
         // Row 2 (7) is already under 8 when 9 is visited, and 8 stands before row 3.
         "8:2(7:2(9:1)) 7:0",
         true},
        {"a blocker visited later takes role 1 again",
         {{8, 0}, {7, 8}, {7, 0}, {9, 7}},
         "8:2(7:1(9:1)) 7:0",
         true},
        {"blocked by a SPID that also blocks it back (2-cycle)",
         {{1, 2}, {2, 1}},
         "1:1(2:2)",
         true},
        {"3-cycle", {{1, 3}, {2, 1}, {3, 2}}, "1:1(2:1(3:2))", true},
        {"cycle with chains hanging off it",
         {{1, 2}, {2, 1}, {5, 1}, {6, 5}, {7, 2}},
         "1:1(5:1(6:1) 2:2(7:1))",
         true},
        {"self-blocked row among duplicates goes under the first",
         {{60, 60}, {60, 60}},
         "60:1(60:1)",
         false},
    };
    for (const TTreeCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TProcessList list;
        Fill(list, c.Rows);
        list.BuildBlockTree();
        EXPECT_EQ(Picture(list), c.Expected);
        EXPECT_EQ(list.HasRealBlocks(), c.RealBlocks);
        EXPECT_EQ(ReachableCount(list), static_cast<std::int64_t>(c.Rows.size()));
        const TReferenceResult ref = ReferenceBuild(c.Rows, WarningTimeout);
        EXPECT_EQ(RowPicture(list), ref.RowPicture);
    }
}

TEST_F(ProcessListTest, WarningComparesWaitTimeWithTheThreshold) {
    struct TCase {
        std::uint16_t Threshold;
        std::vector<TRow> Rows;
        bool Warning;
    };
    const std::vector<TCase> cases = {
        {3000, {{1, 0, 99999}}, false},          // not blocked: never counts
        {3000, {{1, 0}, {2, 1, 3000}}, true},    // at the threshold
        {3000, {{1, 0}, {2, 1, 2999}}, false},   // just below
        {3000, {{2, 2, 5000}}, true},            // self-blocked rows count too
        {3000, {{2, 77, 5000}}, true},           // so do rows whose blocker is missing
        {0, {{1, 0}, {2, 1, 0}}, true},          // threshold 0: any non-negative wait
        {0, {{1, 0}, {2, 1, -1}}, false},        // a negative wait never counts
        {65535, {{1, 0}, {2, 1, 65535}}, true},  // widened without sign
        {65535, {{1, 0}, {2, 1, 65534}}, false}, //
        {65535, {{1, 0}, {2, 1, -65535}}, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        WarningTimeout = cases[i].Threshold;
        TProcessList list;
        Fill(list, cases[i].Rows);
        list.BuildBlockTree();
        EXPECT_EQ(list.HasWarning(), cases[i].Warning);
    }
}

TEST_F(ProcessListTest, FlagsAreResetByEachBuildAndKeptByClear) {
    TProcessList list;
    EXPECT_FALSE(list.HasRealBlocks());
    EXPECT_FALSE(list.HasWarning());
    Fill(list, {{1, 0}, {2, 1, 10000}});
    list.BuildBlockTree();
    EXPECT_TRUE(list.HasRealBlocks());
    EXPECT_TRUE(list.HasWarning());

    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_TRUE(list.HasRealBlocks()); // only a build changes them
    EXPECT_TRUE(list.HasWarning());

    list.BuildBlockTree(); // an empty snapshot
    EXPECT_FALSE(list.HasRealBlocks());
    EXPECT_FALSE(list.HasWarning());
    EXPECT_EQ(list.Count(), 0);
}

TEST_F(ProcessListTest, ClearDestroysNestedItemsAndTheListRefills) {
    TProcessList list;
    Fill(list, {{1, 0}, {2, 1}, {3, 2}, {4, 1}});
    list.BuildBlockTree();
    ASSERT_EQ(list.Count(), 1);
    list.Clear(); // nested items are freed too: the sanitizer build reports any leak
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.FindBySpid(3), nullptr);

    Fill(list, {{5, 0}, {6, 5}});
    list.BuildBlockTree();
    EXPECT_EQ(Picture(list), "5:2(6:1)");
}

TEST_F(ProcessListTest, BuildingTwiceGivesTheSameForest) {
    const std::vector<TRow> rows = {{50, 0}, {45, 41}, {41, 50}, {1, 2}, {2, 1}, {60, 60}};
    TProcessList list;
    Fill(list, rows);
    list.BuildBlockTree();
    const std::string first = RowPicture(list);
    list.BuildBlockTree();
    EXPECT_EQ(RowPicture(list), first);

    // A row added after a build takes part in the next one, in the order of Add.
    TProcessItem* late = list.Add();
    late->Spid = 46;
    late->Blocked = 45;
    late->Cpu = 6;
    list.BuildBlockTree();
    auto extended = rows;
    extended.push_back({46, 45});
    EXPECT_EQ(RowPicture(list), ReferenceBuild(extended, WarningTimeout).RowPicture);
}

TEST_F(ProcessListTest, FindBySpidReturnsTheFirstItemInPreOrder) {
    TProcessList list;
    // After the build: 8(#0) -> 7(#1) ; 7(#2) at the top level after it.
    Fill(list, {{8, 0}, {7, 8}, {7, 0}});
    list.BuildBlockTree();
    ASSERT_EQ(RowPicture(list), "#0:2(#1:1) #2:0");
    EXPECT_EQ(list.FindBySpid(7)->Cpu, 1); // nested under the first top-level item
    EXPECT_EQ(list.FindBySpid(8)->Cpu, 0);
    EXPECT_EQ(list.FindBySpid(9), nullptr);
}

TEST_F(ProcessListTest, IndexesOutOfRangeRaiseException) {
    TProcessList list;
    Fill(list, {{1, 0}, {2, 1}});
    list.BuildBlockTree();
    EXPECT_THROW(list.Item(1), Exception);
    EXPECT_THROW(list.Item(-1), Exception);
    EXPECT_THROW(list.Item(0)->Child(1), Exception);
    EXPECT_EQ(list.Item(0)->Child(0)->Spid, 2);
}

// Runs body on a thread with a small stack, so that recursion over the depth of a long chain
// would fail here even where the main thread's stack would survive it.
void OnSmallStack(const std::function<void()>& body) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
    pthread_t thread;
    auto run = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, const_cast<std::function<void()>*>(&body)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

TEST_F(ProcessListTest, ChainOfHundredThousandRowsNeedsNoDeepStack) {
    constexpr std::int32_t kRows = 100000;
    struct TShape {
        const char* Name;
        bool Reversed; // rows listed from the end of the chain to its head
    };
    for (const TShape shape : {TShape{"query order", false}, TShape{"reversed", true}}) {
        SCOPED_TRACE(shape.Name);
        std::int64_t reachable = 0;
        std::int32_t depth = 0;
        bool deepestFound = false;
        bool flags = false;
        OnSmallStack([&] {
            std::vector<TRow> rows;
            for (std::int32_t k = 1; k <= kRows; ++k)
                rows.push_back({k, k - 1, k});
            if (shape.Reversed)
                std::reverse(rows.begin(), rows.end());
            {
                TProcessList list;
                Fill(list, rows);
                list.BuildBlockTree();
                flags = list.HasRealBlocks() && list.HasWarning();
                reachable = ReachableCount(list);
                const TProcessItem* item = list.Count() == 1 ? list.Item(0) : nullptr;
                while (item != nullptr && item->ChildCount() == 1) {
                    ++depth;
                    item = item->Child(0);
                }
                const TProcessItem* deepest = list.FindBySpid(kRows);
                deepestFound = deepest != nullptr && deepest == item;
                list.Clear();
                Fill(list, rows);
                list.BuildBlockTree();
            }                      // destruction of an arranged chain
            TProcessItem detached; // an item that owns a long chain on its own
            TProcessItem* tail = &detached;
            for (std::int32_t k = 0; k < kRows; ++k) {
                tail->Children.push_back(std::make_unique<TProcessItem>());
                tail = tail->Children.back().get();
            }
        });
        EXPECT_TRUE(flags);
        EXPECT_EQ(reachable, kRows);
        EXPECT_EQ(depth, kRows - 1);
        EXPECT_TRUE(deepestFound);
    }
}

} // namespace
