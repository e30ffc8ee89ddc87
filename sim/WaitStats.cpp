#include "WaitStats.h"

#include <algorithm>
#include <cmath>

namespace tdssim {

namespace {

bool isLockWait(const std::string& waitType) {
    return waitType.rfind("LCK_M_", 0) == 0;
}

// One block over [0, t] of a timeline that plays once.
void addOnce(const Episode& e, double t, double& waits, double& waitSeconds) {
    if (t < e.from) {
        return;
    }
    waits += 1;
    waitSeconds += std::min(t, e.to) - e.from;
}

} // namespace

LockWaitTotals scenarioLockWaits(const Scenario& scenario, double elapsed) {
    double waits = 0;
    double waitSeconds = 0;
    if (elapsed <= 0) {
        return {};
    }
    const double period = scenario.period;
    const bool repeats = period > 0 && std::isfinite(period);
    const double rounds = repeats ? std::floor(elapsed / period) : 0;
    const double rest = repeats ? elapsed - rounds * period : elapsed;
    for (const Episode& e : scenario.episodes) {
        if (!isLockWait(e.waitType) || e.from < 0 || !std::isfinite(e.from)) {
            continue;
        }
        if (repeats) {
            if (e.from >= period) {
                continue;
            }
            const double length = std::min(e.to, period) - e.from;
            waits += rounds;
            waitSeconds += rounds * length;
            Episode cut = e;
            cut.to = std::min(e.to, period);
            addOnce(cut, rest, waits, waitSeconds);
        } else if (std::isfinite(e.to) || elapsed >= e.from) {
            addOnce(e, elapsed, waits, waitSeconds);
        }
    }
    return {static_cast<std::int64_t>(waits), static_cast<std::int64_t>(waitSeconds * 1000)};
}

LockWaitTotals WaitStats::advance(const Scenario& scenario, double elapsed) {
    if (elapsed > seen_) {
        const LockWaitTotals before = scenarioLockWaits(scenario, seen_);
        const LockWaitTotals after = scenarioLockWaits(scenario, elapsed);
        totals_.waits += std::max<std::int64_t>(0, after.waits - before.waits);
        totals_.waitMs += std::max<std::int64_t>(0, after.waitMs - before.waitMs);
        seen_ = elapsed;
    }
    return totals_;
}

} // namespace tdssim
