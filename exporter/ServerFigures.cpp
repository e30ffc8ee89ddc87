#include "ServerFigures.h"

#include "BlockingAnalysis.h"

TServerFigures ComputeServerFigures(const TBlockingAnalysis& analysis) {
    TServerFigures figures;
    figures.Sessions = static_cast<std::int64_t>(analysis.Sessions().size());
    figures.BlockedSessions = analysis.BlockedSessions();
    figures.HeadBlockers = static_cast<std::int64_t>(analysis.Heads().size());
    if (const std::int32_t longest = analysis.LongestWaiter(); longest >= 0)
        figures.LongestBlockWaitMs = analysis.Session(longest).Wait();
    figures.BlockedWaitMs = analysis.TotalWait();
    return figures;
}

TServerFigures ComputeServerFigures(const TProcessList& list) {
    TBlockingAnalysis analysis;
    analysis.Analyze(list);
    return ComputeServerFigures(analysis);
}
