// Who blocks whom in a snapshot: sessions, head blockers with their chains, cycles, and the
// rows that only look like blocking (self-blocks, a parallel query's own workers).
#include "BlockingAnalysis.h"

#include "ProcessList.h"
#include "ProcessListFixtures.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <set>

namespace {

// "heads 51[54 52 53]=3/26000/39000 cycles (80 81)+0 outside 71 blocked 4 longest 52<51:26000
// total 39500": each head with its chain and its count, longest and summed wait; each cycle
// with the sessions behind it; the sessions blocked from outside that no session blocks; the
// snapshot's figures.
std::string Picture(const TBlockingAnalysis& a) {
    const auto spid = [&](std::int32_t s) { return std::to_string(a.Session(s).Spid); };
    std::string out = "heads";
    for (const TBlockingChain& chain : a.Heads()) {
        out += " " + spid(chain.Session) + "[";
        for (std::int32_t m = chain.Begin; m < chain.End; ++m)
            out += (m > chain.Begin ? " " : "") + spid(a.Members()[static_cast<std::size_t>(m)]);
        out += "]=" + std::to_string(chain.Blocked) + "/" + std::to_string(chain.LongestWait) +
               "/" + std::to_string(chain.TotalWait);
    }
    out += " cycles";
    for (const TBlockingCycle& cycle : a.Cycles()) {
        out += " (";
        for (std::int32_t m = cycle.Begin; m < cycle.End; ++m)
            out +=
                (m > cycle.Begin ? " " : "") + spid(a.CycleMembers()[static_cast<std::size_t>(m)]);
        out += ")+" + std::to_string(cycle.Behind);
    }
    out += " outside";
    for (std::size_t s = 0; s < a.Sessions().size(); ++s) {
        const TBlockingSession& session = a.Sessions()[s];
        if (session.Blocked() && session.BlockedBy < 0)
            out += " " + std::to_string(session.Spid);
    }
    out += " blocked " + std::to_string(a.BlockedSessions());
    if (a.LongestWaiter() >= 0) {
        const TBlockingSession& w = a.Session(a.LongestWaiter());
        out += " longest " + std::to_string(w.Spid) + "<" + std::to_string(w.WaitRow->Blocked) +
               ":" + std::to_string(w.Wait());
    }
    out += " total " + std::to_string(a.TotalWait());
    return out;
}

TEST(BlockingAnalysisTest, TheRuleOnSnapshots) {
    struct TCase {
        const char* Name;
        std::vector<TRow> Rows;
        std::int32_t Sessions;
        std::string Expected;
    };
    const TCase cases[] = {
        {"empty", {}, 0, "heads cycles outside blocked 0 total 0"},
        {"no blocking", {{51, 0, 0}, {52, 0, 0}}, 2, "heads cycles outside blocked 0 total 0"},
        // 51 heads 51 <- 52 <- 53 and blocks 54; 60 heads 60 <- 61. In the process view's
        // order: the row added last stands first among its blocker's.
        {"two chains",
         {{51, 0, 0}, {60, 0, 0}, {52, 51, 26000}, {53, 52, 9000}, {54, 51, 4000}, {61, 60, 500}},
         6,
         "heads 51[54 52 53]=3/26000/39000 60[61]=1/500/500 cycles outside blocked 4 "
         "longest 52<51:26000 total 39500"},
        // A head counts everything it holds up; 52 blocks 53 but is blocked itself, 55 blocks
        // nobody.
        {"a head holds up its whole chain",
         {{51, 0, 0}, {52, 51, 26000}, {53, 52, 9000}, {54, 51, 4000}, {55, 0, 0}},
         5,
         "heads 51[54 52 53]=3/26000/39000 cycles outside blocked 3 longest 52<51:26000 "
         "total 39000"},
        {"fan",
         {{10, 0, 0}, {11, 10, 4000}, {12, 10, 1000}},
         3,
         "heads 10[12 11]=2/4000/5000 cycles outside blocked 2 longest 11<10:4000 total 5000"},
        {"two heads",
         {{1, 0, 0}, {2, 1, 10}, {3, 0, 0}, {4, 3, 20}, {5, 4, 30}},
         5,
         "heads 1[2]=1/10/10 3[4 5]=2/30/50 cycles outside blocked 3 longest 5<4:30 total 60"},
        // A self-block is no blocking; a row waiting for an absent SPID is blocked from
        // outside, and nobody heads it.
        {"self-block", {{70, 70, 8000}}, 1, "heads cycles outside blocked 0 total 0"},
        {"self and absent",
         {{70, 70, 5000}, {71, 999, 7000}},
         2,
         "heads cycles outside 71 blocked 1 longest 71<999:7000 total 7000"},
        {"negative blocker (orphaned transaction)",
         {{72, -2, 3000}},
         1,
         "heads cycles outside 72 blocked 1 longest 72<-2:3000 total 3000"},
        // A head that waits for a SPID the snapshot does not show, or for a negative one,
        // still heads its chain.
        {"head waits for an absent SPID",
         {{30, 999, 100}, {31, 30, 50}},
         2,
         "heads 30[31]=1/50/50 cycles outside 30 blocked 2 longest 30<999:100 total 150"},
        {"head waits for a negative SPID",
         {{90, -2, 0}, {91, 90, 3000}},
         2,
         "heads 90[91]=1/3000/3000 cycles outside 90 blocked 2 longest 91<90:3000 total 3000"},
        // SPID 73 runs in parallel: its own worker rows are no blocking; one worker waits for
        // 75, which makes 75 a head blocker.
        {"parallel query, one worker blocked",
         {{73, 0, 0}, {75, 0, 0}, {73, 73, 100}, {73, 73, 200}, {73, 75, 300}},
         2,
         "heads 75[73]=1/300/300 cycles outside blocked 1 longest 73<75:300 total 300"},
        // Several workers wait for 75: one session, with its longest wait.
        {"parallel query, workers blocked",
         {{73, 0, 0}, {73, 73, 500}, {73, 75, 2500}, {73, 75, 4500}, {75, 0, 0}},
         2,
         "heads 75[73]=1/4500/4500 cycles outside blocked 1 longest 73<75:4500 total 4500"},
        {"parallel head with its own workers",
         {{60, 0, 0}, {60, 60, 9000}, {70, 60, 3500}},
         2,
         "heads 60[70]=1/3500/3500 cycles outside blocked 1 longest 70<60:3500 total 3500"},
        // Workers of 30 wait for 10 and for 20: 30 has one blocker, the one it waits for
        // longest, and stands in that head's chain only.
        {"parallel query waiting for two sessions",
         {{10, 0, 0}, {20, 0, 0}, {30, 10, 1000}, {30, 20, 5000}},
         3,
         "heads 20[30]=1/5000/5000 cycles outside blocked 1 longest 30<20:5000 total 5000"},
        {"two-cycle (deadlock)",
         {{80, 81, 100}, {81, 80, 200}},
         2,
         "heads cycles (80 81)+0 outside blocked 2 longest 81<80:200 total 300"},
        {"three-cycle with a session behind it",
         {{1, 3, 100}, {2, 1, 200}, {3, 2, 300}, {4, 2, 400}},
         4,
         "heads cycles (1 2 3)+1 outside blocked 4 longest 4<2:400 total 1000"},
        {"a cycle and a head",
         {{80, 81, 100}, {81, 80, 200}, {5, 0, 0}, {6, 5, 50}},
         4,
         "heads 5[6]=1/50/50 cycles (80 81)+0 outside blocked 3 longest 81<80:200 total 350"},
        {"negative wait time never counts below zero",
         {{60, 0, 0}, {61, 60, -5}},
         2,
         "heads 60[61]=1/0/0 cycles outside blocked 1 longest 61<60:0 total 0"},
        // SPID 0 is a session; it can wait (and then can have the longest wait), but nothing
        // waits for it: blocked 0 means not blocked.
        {"SPID 0 blocked",
         {{51, 0, 0}, {0, 51, 8000}, {52, 51, 3000}},
         3,
         "heads 51[52 0]=2/8000/11000 cycles outside blocked 2 longest 0<51:8000 total 11000"},
        {"SPID 0 idle", {{0, 0, 0}, {52, 0, 0}}, 2, "heads cycles outside blocked 0 total 0"},
        {"negative SPID as a blocker",
         {{-5, 0, 0}, {6, -5, 100}},
         2,
         "heads cycles outside 6 blocked 1 longest 6<-5:100 total 100"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TProcessList list;
        Fill(list, c.Rows);
        list.BuildBlockTree();
        TBlockingAnalysis analysis;
        analysis.Analyze(list);
        EXPECT_EQ(static_cast<std::int32_t>(analysis.Sessions().size()), c.Sessions);
        EXPECT_EQ(Picture(analysis), c.Expected);
        EXPECT_EQ(analysis.Version(), list.Version());
    }
}

TEST(BlockingAnalysisTest, OneObjectServesSnapshotAfterSnapshot) {
    TBlockingAnalysis analysis;
    TProcessList list;
    Fill(list, {{80, 81, 100}, {81, 80, 200}, {5, 0, 0}, {6, 5, 50}});
    list.BuildBlockTree();
    analysis.Analyze(list);
    list.Clear();
    Fill(list, {{1, 0, 0}, {2, 1, 10}});
    list.BuildBlockTree();
    analysis.Analyze(list);
    EXPECT_EQ(Picture(analysis),
              "heads 1[2]=1/10/10 cycles outside blocked 1 longest 2<1:10 total 10");
    EXPECT_EQ(analysis.Find(80), -1);
    EXPECT_EQ(analysis.Find(2), 1);
}

// Random snapshots of a few SPIDs, so that parallel rows, self-blocks, absent and negative
// blockers, cycles and SPID 0 all come up; every blocked session stands in exactly one place.
TEST(BlockingAnalysisTest, EveryBlockedSessionStandsInOnePlace) {
    std::mt19937 random(20261211);
    const auto pick = [&](std::uint32_t n) { return static_cast<std::int32_t>(random() % n); };
    TBlockingAnalysis analysis;
    std::vector<std::int32_t> behind;
    for (int round = 0; round < 2000; ++round) {
        SCOPED_TRACE(round);
        const std::int32_t spids = 1 + pick(12);
        std::vector<TRow> rows(static_cast<std::size_t>(1 + pick(24)));
        for (TRow& row : rows) {
            row.Spid = pick(static_cast<std::uint32_t>(spids));
            switch (pick(6)) {
            case 0:
            case 1:
                row.Blocked = 0;
                break;
            case 2:
                row.Blocked = row.Spid;
                break;
            case 3:
                row.Blocked = 100 + pick(3); // absent
                break;
            case 4:
                row.Blocked = -1 - pick(4);
                break;
            default:
                row.Blocked = pick(static_cast<std::uint32_t>(spids));
            }
            row.WaitTime = pick(10000) - 100;
        }
        TProcessList list;
        Fill(list, rows);
        list.BuildBlockTree();
        analysis.Analyze(list);

        std::set<std::int32_t> spidSet, blockedSet;
        for (const TRow& row : rows) {
            spidSet.insert(row.Spid);
            if (row.Blocked != 0 && row.Blocked != row.Spid)
                blockedSet.insert(row.Spid);
        }
        ASSERT_EQ(analysis.Sessions().size(), spidSet.size());
        ASSERT_EQ(analysis.BlockedSessions(), static_cast<std::int32_t>(blockedSet.size()));

        std::vector<int> places(analysis.Sessions().size(), 0);
        std::int64_t total = 0;
        for (const TBlockingChain& chain : analysis.Heads()) {
            const TBlockingSession& head = analysis.Session(chain.Session);
            EXPECT_LT(head.BlockedBy, 0);
            EXPECT_GT(chain.Blocked, 0);
            std::int32_t longest = 0;
            std::int64_t sum = 0;
            analysis.Behind(chain.Session, behind);
            EXPECT_EQ(behind, std::vector<std::int32_t>(analysis.Members().begin() + chain.Begin,
                                                        analysis.Members().begin() + chain.End));
            for (const std::int32_t m : behind) {
                ++places[static_cast<std::size_t>(m)];
                const TBlockingSession& member = analysis.Session(m);
                EXPECT_TRUE(member.Blocked());
                longest = std::max(longest, member.Wait());
                sum += member.Wait();
                // Its blockers lead to the head.
                std::int32_t up = m;
                for (std::size_t steps = 0; up >= 0 && up != chain.Session; ++steps) {
                    ASSERT_LE(steps, analysis.Sessions().size());
                    up = analysis.Session(up).BlockedBy;
                }
                EXPECT_EQ(up, chain.Session);
            }
            EXPECT_EQ(chain.Blocked, static_cast<std::int32_t>(behind.size()));
            EXPECT_EQ(chain.LongestWait, longest);
            EXPECT_EQ(chain.TotalWait, sum);
        }
        std::int32_t inCycles = 0;
        for (const TBlockingCycle& cycle : analysis.Cycles()) {
            const std::int32_t size = cycle.End - cycle.Begin;
            EXPECT_GE(size, 2);
            inCycles += size + cycle.Behind;
            for (std::int32_t i = cycle.Begin; i < cycle.End; ++i) {
                const std::int32_t m = analysis.CycleMembers()[static_cast<std::size_t>(i)];
                ++places[static_cast<std::size_t>(m)];
                std::int32_t up = m;
                for (std::int32_t step = 0; step < size; ++step)
                    up = analysis.Session(up).BlockedBy;
                EXPECT_EQ(up, m) << "round the circle in as many steps as it has sessions";
            }
        }
        std::int32_t outside = 0;
        for (std::size_t s = 0; s < analysis.Sessions().size(); ++s) {
            const TBlockingSession& session = analysis.Sessions()[s];
            total += session.Wait();
            EXPECT_EQ(session.Blocked(), blockedSet.contains(session.Spid));
            if (session.Blocked() && session.BlockedBy < 0) {
                ++outside;
                ++places[s];
            } else if (session.Cycle >= 0 && places[s] == 0) {
                ++places[s]; // behind a cycle
            }
            EXPECT_EQ(places[s], session.Blocked() ? 1 : 0) << "SPID " << session.Spid;
            EXPECT_EQ(analysis.Find(session.Spid), static_cast<std::int32_t>(s));
        }
        EXPECT_EQ(outside, analysis.BlockedFromOutside());
        std::int32_t inChains = 0;
        for (const TBlockingChain& chain : analysis.Heads())
            inChains += chain.Blocked;
        EXPECT_EQ(inChains + inCycles + outside, analysis.BlockedSessions());
        EXPECT_EQ(total, analysis.TotalWait());
    }
}

} // namespace
