// The figures of a snapshot: what counts as a session, a blocked session and a head blocker
// (the head blockers by the rule the episode detector uses).
#include "ServerFigures.h"

#include <gtest/gtest.h>

namespace {

struct Row {
    std::int32_t Spid;
    std::int32_t Blocked;
    std::int32_t WaitTime;
};

TServerFigures FiguresOf(const std::vector<Row>& rows) {
    TProcessList list;
    for (const Row& row : rows) {
        TProcessItem* item = list.Add();
        item->Spid = row.Spid;
        item->Blocked = row.Blocked;
        item->WaitTime = row.WaitTime;
    }
    list.BuildBlockTree();
    return ComputeServerFigures(list);
}

TEST(ServerFigures, Snapshots) {
    const struct {
        const char* What;
        std::vector<Row> Rows;
        TServerFigures Expected; // sessions, blocked, heads, longest ms, sum ms
    } cases[] = {
        {"empty", {}, {0, 0, 0, 0, 0}},
        {"no blocking", {{51, 0, 0}, {52, 0, 0}}, {2, 0, 0, 0, 0}},
        {"fan", {{10, 0, 0}, {11, 10, 4000}, {12, 10, 1000}}, {3, 2, 1, 4000, 5000}},
        {"chain", {{20, 0, 0}, {21, 20, 9000}, {22, 21, 2000}}, {3, 2, 1, 9000, 11000}},
        {"blocker not in the snapshot", {{71, 999, 1500}}, {1, 1, 0, 1500, 1500}},
        // A head that waits for a SPID the snapshot does not show still heads its chain.
        {"head waits for an absent SPID", {{30, 999, 100}, {31, 30, 50}}, {2, 2, 1, 100, 150}},
        {"blocked by itself", {{70, 70, 8000}}, {1, 0, 0, 0, 0}},
        {"negative blocker (orphaned transaction)", {{72, -2, 3000}}, {1, 1, 0, 3000, 3000}},
        // A parallel query: SPID 73 has three rows, two waiting for its own workers, one for 75.
        {"parallel query",
         {{73, 0, 0}, {73, 73, 500}, {73, 75, 2500}, {73, 75, 4500}, {75, 0, 0}},
         {2, 1, 1, 4500, 4500}},
        {"two-cycle (deadlock)", {{80, 81, 100}, {81, 80, 200}}, {2, 2, 0, 200, 300}},
        {"negative wait time never counts below zero", {{60, 0, 0}, {61, 60, -5}}, {2, 1, 1, 0, 0}},
        {"two heads",
         {{1, 0, 0}, {2, 1, 10}, {3, 0, 0}, {4, 3, 20}, {5, 4, 30}},
         {5, 3, 2, 30, 60}},
    };
    for (const auto& c : cases) {
        const TServerFigures f = FiguresOf(c.Rows);
        EXPECT_EQ(f.Sessions, c.Expected.Sessions) << c.What;
        EXPECT_EQ(f.BlockedSessions, c.Expected.BlockedSessions) << c.What;
        EXPECT_EQ(f.HeadBlockers, c.Expected.HeadBlockers) << c.What;
        EXPECT_EQ(f.LongestBlockWaitMs, c.Expected.LongestBlockWaitMs) << c.What;
        EXPECT_EQ(f.BlockedWaitMs, c.Expected.BlockedWaitMs) << c.What;
    }
}

} // namespace
