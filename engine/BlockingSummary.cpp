#include "BlockingSummary.h"

#include "BlockingAnalysis.h"
#include "ProcessList.h"

bool IsForgottenTransaction(const TProcessItem& item) {
    return item.OpenTran > 0 && item.Status == "sleeping";
}

TBlockingSummary SummarizeBlocking(const TBlockingAnalysis& analysis) {
    TBlockingSummary s;
    s.Sessions = static_cast<std::int32_t>(analysis.Sessions().size());
    s.HeadBlockers = static_cast<std::int32_t>(analysis.Heads().size());
    s.Blocked = analysis.BlockedSessions();
    if (const std::int32_t longest = analysis.LongestWaiter(); longest >= 0) {
        const TBlockingSession& waiter = analysis.Session(longest);
        s.LongestWait = waiter.Wait();
        s.LongestWaiter = waiter.Spid;
        s.LongestBlocker = waiter.WaitRow->Blocked;
    }
    return s;
}

TBlockingSummary SummarizeBlocking(const TProcessList& list) {
    TBlockingAnalysis analysis;
    analysis.Analyze(list);
    return SummarizeBlocking(analysis);
}
