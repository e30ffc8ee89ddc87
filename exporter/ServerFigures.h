// The blocking figures of one snapshot, as the exporter publishes them, read from the
// snapshot's analysis (what counts as a session, a blocked session and a head blocker is said
// there). A session blocked by a negative marker or by a SPID missing from the snapshot is
// blocked as well, since the wait is real.
#pragma once

#include "ProcessList.h"

#include <cstdint>

class TBlockingAnalysis;

struct TServerFigures {
    std::int64_t Sessions = 0;
    std::int64_t BlockedSessions = 0;
    std::int64_t HeadBlockers = 0;
    // Milliseconds; a session's wait is its longest blocked row's, never below 0.
    std::int64_t LongestBlockWaitMs = 0;
    std::int64_t BlockedWaitMs = 0; // sum over blocked sessions
};

TServerFigures ComputeServerFigures(const TBlockingAnalysis& analysis);
// For a list that no monitor keeps an analysis of.
TServerFigures ComputeServerFigures(const TProcessList& list);
