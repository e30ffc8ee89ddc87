// The blocking figures of one snapshot, as the exporter publishes them. A session is a SPID
// (the rows of a parallel query share one); a session is blocked when one of its rows waits
// for another session (blocked is neither 0 nor its own SPID; negative markers count, since
// the wait is real). A head blocker blocks a session and waits for none.
#pragma once

#include "ProcessList.h"

#include <cstdint>

struct TServerFigures {
    std::int64_t Sessions = 0;
    std::int64_t BlockedSessions = 0;
    std::int64_t HeadBlockers = 0;
    // Milliseconds; a session's wait is its longest blocked row's, never below 0.
    std::int64_t LongestBlockWaitMs = 0;
    std::int64_t BlockedWaitMs = 0; // sum over blocked sessions
};

TServerFigures ComputeServerFigures(const TProcessList& list);
