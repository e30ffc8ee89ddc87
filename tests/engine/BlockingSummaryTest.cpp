// The blocking figures of a snapshot: head blockers, blocked rows, the longest wait, and the
// rows that only look like blocking (self-blocks, a parallel query's own workers, cycles).
#include "BlockingSummary.h"

#include "ProcessList.h"
#include "ProcessListFixtures.h"

#include <gtest/gtest.h>

namespace {

TEST(BlockingSummaryTest, FiguresOfSnapshots) {
    struct TCase {
        const char* Name;
        std::vector<TRow> Rows;
        TBlockingSummary Expected;
    };
    const TCase cases[] = {
        {"empty", {}, {0, 0, 0, 0, 0, 0}},
        {"no blocking", {{51, 0, 0}, {52, 0, 0}}, {2, 0, 0, 0, 0, 0}},
        // 51 heads a chain 51 <- 52 <- 53 and blocks 54; 60 heads 60 <- 61.
        {"two chains",
         {{51, 0, 0}, {60, 0, 0}, {52, 51, 26000}, {53, 52, 9000}, {54, 51, 4000}, {61, 60, 500}},
         {6, 2, 4, 26000, 52, 51}},
        // A self-block and a row waiting for an absent SPID: blocked, but nobody heads them.
        {"self and absent", {{70, 70, 5000}, {71, 999, 7000}}, {2, 0, 1, 7000, 71, 999}},
        // SPID 73 runs in parallel: its own worker rows hang under it and are no blocking;
        // one worker waits for 75, which makes 75 a head blocker.
        {"parallel query",
         {{73, 0, 0}, {75, 0, 0}, {73, 73, 100}, {73, 73, 200}, {73, 75, 300}},
         {2, 1, 1, 300, 73, 75}},
        // A 2-cycle: both are blocked, neither is a head.
        {"cycle", {{80, 81, 1000}, {81, 80, 2000}}, {2, 0, 2, 2000, 81, 80}},
        // A negative wait counts as no wait.
        {"negative wait", {{51, 0, 0}, {52, 51, -5}}, {2, 1, 1, 0, 52, 51}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TProcessList list;
        Fill(list, c.Rows);
        list.BuildBlockTree();
        const TBlockingSummary s = SummarizeBlocking(list);
        EXPECT_EQ(s.Sessions, c.Expected.Sessions);
        EXPECT_EQ(s.HeadBlockers, c.Expected.HeadBlockers);
        EXPECT_EQ(s.Blocked, c.Expected.Blocked);
        EXPECT_EQ(s.LongestWait, c.Expected.LongestWait);
        EXPECT_EQ(s.LongestWaiter, c.Expected.LongestWaiter);
        EXPECT_EQ(s.LongestBlocker, c.Expected.LongestBlocker);
    }
}

TEST(BlockingSummaryTest, ForgottenTransactionIsSleepingWithAnOpenTransaction) {
    TProcessItem item;
    struct TCase {
        const char* Status;
        std::int32_t OpenTran;
        bool Forgotten;
    } cases[] = {{"sleeping", 1, true},
                 {"sleeping", 2, true},
                 {"sleeping", 0, false},
                 {"runnable", 1, false},
                 {"suspended", 1, false}};
    for (const TCase& c : cases) {
        item.Status = c.Status;
        item.OpenTran = c.OpenTran;
        EXPECT_EQ(IsForgottenTransaction(item), c.Forgotten) << c.Status << " " << c.OpenTran;
    }
}

} // namespace
