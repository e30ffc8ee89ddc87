// sys.dm_os_wait_stats for the lock wait types: how many waits the scenario's blocking has
// started and how long they have waited, cumulative since the instance started. A wait counts
// when it begins (as on a real server, which counts it when it ends; the difference is one
// wait). The figures never go down, even when the scenario clock is set back.
#pragma once

#include "Scenario.h"

#include <cstdint>

namespace tdssim {

struct LockWaitTotals {
    std::int64_t waits = 0;
    std::int64_t waitMs = 0;
};

// The totals of the scenario's LCK_M_ blocks from its clock's zero to `elapsed` seconds (not
// wrapped by the period).
LockWaitTotals scenarioLockWaits(const Scenario& scenario, double elapsed);

class WaitStats {
public:
    // What an instance had counted before the scenario began: a server that has run a while.
    static constexpr LockWaitTotals kBase{1843, 912345};

    // Brings the totals up to `elapsed`; a clock set back adds nothing until it passes the
    // furthest point seen.
    LockWaitTotals advance(const Scenario& scenario, double elapsed);

private:
    LockWaitTotals totals_ = kBase;
    double seen_ = 0; // elapsed seconds counted so far
};

} // namespace tdssim
