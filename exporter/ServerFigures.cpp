#include "ServerFigures.h"

#include <algorithm>
#include <unordered_map>
#include <vector>

namespace {

struct TSessionFacts {
    bool Blocked = false;  // waits for another session
    bool Blocking = false; // another session waits for it
    std::int64_t WaitMs = 0;
};

} // namespace

TServerFigures ComputeServerFigures(const TProcessList& list) {
    std::unordered_map<std::int32_t, TSessionFacts> sessions;
    std::vector<const TProcessItem*> stack;
    for (std::int32_t i = list.Count() - 1; i >= 0; --i) {
        stack.push_back(list.Item(i));
    }
    std::vector<std::int32_t> blockers;
    while (!stack.empty()) {
        const TProcessItem* item = stack.back();
        stack.pop_back();
        for (const auto& child : item->Children) {
            stack.push_back(child.get());
        }
        TSessionFacts& facts = sessions[item->Spid];
        if (item->Blocked != 0 && item->Blocked != item->Spid) {
            facts.Blocked = true;
            facts.WaitMs = std::max<std::int64_t>(facts.WaitMs, item->WaitTime);
            if (item->Blocked > 0) {
                blockers.push_back(item->Blocked);
            }
        }
    }
    TServerFigures figures;
    figures.Sessions = static_cast<std::int64_t>(sessions.size());
    for (const std::int32_t spid : blockers) {
        // A blocker missing from the snapshot still heads its chain.
        sessions[spid].Blocking = true;
    }
    for (const auto& [spid, facts] : sessions) {
        if (facts.Blocked) {
            ++figures.BlockedSessions;
            figures.BlockedWaitMs += facts.WaitMs;
            figures.LongestBlockWaitMs = std::max(figures.LongestBlockWaitMs, facts.WaitMs);
        } else if (facts.Blocking) {
            ++figures.HeadBlockers;
        }
    }
    return figures;
}
