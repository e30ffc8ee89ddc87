// The blocking picture of one snapshot in a few figures for the status line and the tooltips,
// read from the snapshot's analysis (what counts is said there).
#pragma once

#include <cstdint>

class TBlockingAnalysis;
class TProcessItem;
class TProcessList;

struct TBlockingSummary {
    std::int32_t Sessions = 0;     // distinct SPIDs
    std::int32_t HeadBlockers = 0; // sessions that head a blocking chain
    std::int32_t Blocked = 0;      // sessions blocked by another SPID
    std::int32_t LongestWait = 0;  // milliseconds, among those sessions; 0 when none
    std::int32_t LongestWaiter = 0, LongestBlocker = 0; // the SPIDs of that wait
};

// Sleeping with an open transaction: nothing runs that would end the transaction.
bool IsForgottenTransaction(const TProcessItem& item);

TBlockingSummary SummarizeBlocking(const TBlockingAnalysis& analysis);
// For a list that no monitor keeps an analysis of.
TBlockingSummary SummarizeBlocking(const TProcessList& list);
