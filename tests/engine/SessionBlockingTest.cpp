// One session's place in the blocking, as the process info dialog tells it: who blocks it,
// the head behind that, whom it holds up and how long they wait.
#include "SessionBlocking.h"

#include "BlockingAnalysis.h"
#include "ProcessList.h"
#include "ProcessListFixtures.h"

#include <gtest/gtest.h>

namespace {

// "by 52 head 51 | blocks 1/2 wait 9000/12000 | head | cycle 80 81", the parts that apply;
// "by ?999" for a blocker outside the snapshot; "-" for a SPID not in it.
std::string Picture(const TSessionBlocking& b) {
    if (!b.Found)
        return "-";
    std::string out;
    const auto part = [&](const std::string& text) { out += (out.empty() ? "" : " | ") + text; };
    if (b.Blocked) {
        std::string by = "by " + std::string(b.BlockerKnown ? "" : "?") +
                         std::to_string(b.BlockerSpid) + " for " + std::to_string(b.Wait);
        if (b.HeadKnown)
            by += " head " + std::to_string(b.Head.Spid);
        part(by);
    }
    if (b.BlocksInAll > 0)
        part("blocks " + std::to_string(b.BlocksDirectly) + "/" + std::to_string(b.BlocksInAll) +
             " wait " + std::to_string(b.LongestBlocked) + "/" + std::to_string(b.BlockedWait));
    if (b.IsHead)
        part("head");
    if (!b.Cycle.empty()) {
        std::string cycle = "cycle";
        for (const std::int32_t spid : b.Cycle)
            cycle += " " + std::to_string(spid);
        part(cycle);
    }
    return out.empty() ? "calm" : out;
}

TEST(SessionBlockingTest, WhereEachSessionStands) {
    struct TCase {
        const char* Name;
        std::vector<TRow> Rows;
        std::int32_t Spid;
        std::string Expected;
    };
    // 51 heads 51 <- 52 <- 53 and blocks 54 directly.
    const std::vector<TRow> chain = {
        {51, 0, 0}, {52, 51, 26000}, {53, 52, 9000}, {54, 51, 4000}, {55, 0, 0}};
    const TCase cases[] = {
        {"head", chain, 51, "blocks 2/3 wait 26000/39000 | head"},
        {"middle of the chain", chain, 52, "by 51 for 26000 | blocks 1/1 wait 9000/9000"},
        {"behind the middle: the head is named", chain, 53, "by 52 for 9000 head 51"},
        {"blocked by the head itself", chain, 54, "by 51 for 4000"},
        {"not involved", chain, 55, "calm"},
        {"not in the snapshot", chain, 99, "-"},
        {"blocked from outside", {{71, 999, 7000}}, 71, "by ?999 for 7000"},
        {"negative blocker", {{72, -2, 3000}}, 72, "by ?-2 for 3000"},
        {"a head that waits for an absent SPID",
         {{30, 999, 100}, {31, 30, 50}},
         30,
         "by ?999 for 100 | blocks 1/1 wait 50/50 | head"},
        {"self-block is no blocking", {{70, 70, 8000}}, 70, "calm"},
        // A parallel query: the longest row blocked by another session names the blocker.
        {"parallel query",
         {{73, 0, 0}, {75, 0, 0}, {73, 73, 900}, {73, 75, 300}},
         73,
         "by 75 for 300"},
        {"negative wait counts as none", {{1, 0, 0}, {2, 1, -5}}, 1, "blocks 1/1 wait 0/0 | head"},
        {"in a cycle",
         {{80, 81, 100}, {81, 80, 200}, {82, 80, 50}},
         80,
         "by 81 for 100 | blocks 2/2 wait 200/250 | cycle 80 81"},
        {"behind a cycle",
         {{80, 81, 100}, {81, 80, 200}, {82, 80, 50}},
         82,
         "by 80 for 50 | cycle 80 81"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TProcessList list;
        Fill(list, c.Rows);
        list.BuildBlockTree();
        TBlockingAnalysis analysis;
        analysis.Analyze(list);
        EXPECT_EQ(Picture(DescribeBlocking(analysis, c.Spid)), c.Expected);
    }
}

TEST(SessionBlockingTest, TheFactsAreCopiesThatOutliveTheSnapshot) {
    TSessionBlocking b;
    {
        TProcessList list;
        Fill(list, {{51, 0, 0}, {52, 51, 26000}});
        TProcessItem* head = list.FindBySpid(51);
        head->LoginName = "payroll";
        head->HostName = "APP-SRV-01";
        head->ProgramName = "Payroll Service";
        head->Status = "sleeping";
        head->OpenTran = 2;
        list.BuildBlockTree();
        TBlockingAnalysis analysis;
        analysis.Analyze(list);
        b = DescribeBlocking(analysis, 52);
    }
    EXPECT_EQ(b.Blocker.Login, "payroll");
    EXPECT_EQ(b.Blocker.Host, "APP-SRV-01");
    EXPECT_EQ(b.Blocker.Program, "Payroll Service");
    EXPECT_EQ(b.Blocker.Status, "sleeping");
    EXPECT_EQ(b.Blocker.OpenTran, 2);
}

} // namespace
