#include "LockWaits.h"

// [_] keeps LIKE from taking the underscores as wildcards.
const char* const LockWaitsQueryText =
    "select convert(varchar(20), sum(waiting_tasks_count)), convert(varchar(20), "
    "sum(wait_time_ms)) from sys.dm_os_wait_stats where wait_type like 'LCK[_]M[_]%'";

void TLockWaitTally::Take(std::int64_t waits, std::int64_t waitMs, std::int64_t atMs) {
    if (waits < 0)
        waits = 0;
    if (waitMs < 0)
        waitMs = 0;
    ++Reads;
    if (!Known) {
        Known = true;
        LastSince = 0;
        LastWaits = LastWaitMs = 0;
    } else {
        const bool reset = waits < RawWaits || waitMs < RawWaitMs;
        LastWaits = reset ? waits : waits - RawWaits;
        LastWaitMs = reset ? waitMs : waitMs - RawWaitMs;
        LastSince = LastAt;
        Waits += static_cast<std::uint64_t>(LastWaits);
        WaitMs += static_cast<std::uint64_t>(LastWaitMs);
    }
    LastAt = atMs;
    RawWaits = waits;
    RawWaitMs = waitMs;
}
