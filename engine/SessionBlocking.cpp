#include "SessionBlocking.h"

#include "BlockingAnalysis.h"
#include "ProcessList.h"

#include <algorithm>

namespace {

TSessionFacts FactsOf(const TBlockingSession& session) {
    TSessionFacts facts;
    facts.Spid = session.Spid;
    if (const TProcessItem* row = session.FirstRow) {
        facts.Login = row->LoginName;
        facts.Host = row->HostName;
        facts.Program = row->ProgramName;
        facts.Status = row->Status;
        facts.OpenTran = row->OpenTran;
    }
    return facts;
}

} // namespace

TSessionBlocking DescribeBlocking(const TBlockingAnalysis& analysis, std::int32_t spid) {
    TSessionBlocking out;
    const std::int32_t index = analysis.Find(spid);
    if (index < 0)
        return out;
    const TBlockingSession& session = analysis.Session(index);
    out.Found = true;
    out.Session = FactsOf(session);

    if (session.Blocked()) {
        out.Blocked = true;
        const TProcessItem* row = session.BlockedRow ? session.BlockedRow : session.WaitRow;
        out.Wait = std::max(row->WaitTime, 0);
        out.BlockerSpid = row->Blocked;
        if (session.BlockedBy >= 0) {
            out.BlockerKnown = true;
            out.Blocker = FactsOf(analysis.Session(session.BlockedBy));
        }
        if (session.Head >= 0) {
            const std::int32_t head =
                analysis.Heads()[static_cast<std::size_t>(session.Head)].Session;
            if (head != session.BlockedBy) {
                out.HeadKnown = true;
                out.Head = FactsOf(analysis.Session(head));
            }
        }
    }
    if (session.Cycle >= 0) {
        const TBlockingCycle& cycle = analysis.Cycles()[static_cast<std::size_t>(session.Cycle)];
        for (std::int32_t m = cycle.Begin; m < cycle.End; ++m)
            out.Cycle.push_back(
                analysis.Session(analysis.CycleMembers()[static_cast<std::size_t>(m)]).Spid);
    }

    out.BlocksDirectly = session.Blocks;
    if (session.Blocks > 0) {
        std::vector<std::int32_t> behind;
        analysis.Behind(index, behind);
        for (const std::int32_t b : behind)
            out.BlockedSpids.push_back(analysis.Session(b).Spid);
    }
    if (const TBlockingChain* chain = analysis.HeadChain(index)) {
        out.IsHead = true;
        out.BlocksInAll = chain->Blocked;
        out.BlockedWait = chain->TotalWait;
        out.LongestBlocked = chain->LongestWait;
    } else if (session.Blocks > 0) {
        std::vector<std::int32_t> behind;
        analysis.Behind(index, behind);
        out.BlocksInAll = static_cast<std::int32_t>(behind.size());
        for (const std::int32_t b : behind) {
            const std::int32_t wait = analysis.Session(b).Wait();
            out.BlockedWait += wait;
            out.LongestBlocked = std::max(out.LongestBlocked, wait);
        }
    }
    return out;
}
