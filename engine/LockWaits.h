// The server's own count of lock waits (sys.dm_os_wait_stats, the LCK_M_ wait types): it sees
// every wait, also those that end between two polls of the process list. Read beside the
// deadlock reports, at most once a minute; the figures are cumulative since the server started
// (or since someone cleared them), so what counts is the difference between two reads.
#pragma once

#include <cstdint>

// Waiting tasks and their wait time, summed over the lock wait types; one row, two columns.
extern const char* const LockWaitsQueryText;

// What a monitor has counted of one server's lock waits since the monitor started.
struct TLockWaitTally {
    std::uint64_t Reads = 0;  // reads taken
    std::uint64_t Waits = 0;  // lock waits counted (never goes down)
    std::uint64_t WaitMs = 0; // their wait time, milliseconds (never goes down)
    // The last read's difference to the one before: (LastSince, LastAt], milliseconds since
    // 1970. LastSince is 0 after the first read, which only sets where counting starts.
    std::int64_t LastAt = 0, LastSince = 0;
    std::int64_t LastWaits = 0, LastWaitMs = 0;

    // Takes the server's cumulative figures read at atMs. Figures below the last ones mean the
    // server started again or they were cleared: they then count from zero.
    void Take(std::int64_t waits, std::int64_t waitMs, std::int64_t atMs);

private:
    bool Known = false;
    std::int64_t RawWaits = 0, RawWaitMs = 0;
};
