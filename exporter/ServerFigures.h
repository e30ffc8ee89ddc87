// The blocking figures of one snapshot, as the exporter publishes them. A session is a SPID
// (the rows of a parallel query share one). A session is blocked when one of its rows waits
// for another SPID: a negative marker, or a SPID missing from the snapshot, count as well,
// since the wait is real. A head blocker follows the rule of the episode detector: a session
// that blocks another session of the snapshot and is not blocked by one itself.
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
