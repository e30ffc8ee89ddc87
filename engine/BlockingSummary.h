// The blocking picture of one snapshot in a few figures: how many sessions, how many head
// blockers (block others, are not blocked themselves), how many blocked processes and the
// longest wait. Read from the arranged forest; nothing is kept between snapshots.
#pragma once

#include <cstdint>

class TProcessItem;
class TProcessList;

struct TBlockingSummary {
    std::int32_t Sessions = 0;     // distinct SPIDs
    std::int32_t HeadBlockers = 0; // items that head a blocking chain
    std::int32_t Blocked = 0;      // rows blocked by another SPID
    std::int32_t LongestWait = 0;  // milliseconds, among those rows; 0 when none
    std::int32_t LongestWaiter = 0, LongestBlocker = 0; // the SPIDs of that wait
};

// What a head blocker holds up: the rows of other SPIDs below it and their summed wait.
struct THeadBlocking {
    std::int32_t Blocking = 0;
    std::int64_t TotalWait = 0; // milliseconds
};

// True for an item that blocks rows of other SPIDs and is not blocked by another SPID.
bool IsHeadBlocker(const TProcessItem& item);
// The figures of an item's subtree (rows of other SPIDs only).
THeadBlocking HeadBlocking(const TProcessItem& item);
// Sleeping with an open transaction: nothing runs that would end the transaction.
bool IsForgottenTransaction(const TProcessItem& item);

TBlockingSummary SummarizeBlocking(const TProcessList& list);
