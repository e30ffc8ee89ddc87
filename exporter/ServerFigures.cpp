#include "ServerFigures.h"

#include <algorithm>
#include <unordered_map>
#include <vector>

namespace {

struct TSessionFacts {
    bool Blocked = false;          // waits for another SPID
    bool BlockedBySession = false; // ... that is a session of the snapshot
    bool Blocking = false;         // a session of the snapshot waits for it
    std::int64_t WaitMs = 0;
};

} // namespace

TServerFigures ComputeServerFigures(const TProcessList& list) {
    std::vector<const TProcessItem*> rows;
    std::vector<const TProcessItem*> stack;
    for (std::int32_t i = list.Count() - 1; i >= 0; --i) {
        stack.push_back(list.Item(i));
    }
    std::unordered_map<std::int32_t, TSessionFacts> sessions;
    while (!stack.empty()) {
        const TProcessItem* item = stack.back();
        stack.pop_back();
        for (const auto& child : item->Children) {
            stack.push_back(child.get());
        }
        rows.push_back(item);
        sessions.try_emplace(item->Spid);
    }
    for (const TProcessItem* row : rows) {
        if (row->Blocked == 0 || row->Blocked == row->Spid) {
            continue;
        }
        TSessionFacts& facts = sessions[row->Spid];
        facts.Blocked = true;
        facts.WaitMs = std::max<std::int64_t>(facts.WaitMs, row->WaitTime);
        const auto blocker = sessions.find(row->Blocked);
        if (row->Blocked > 0 && blocker != sessions.end()) {
            facts.BlockedBySession = true;
            blocker->second.Blocking = true;
        }
    }
    TServerFigures figures;
    figures.Sessions = static_cast<std::int64_t>(sessions.size());
    for (const auto& [spid, facts] : sessions) {
        if (facts.Blocked) {
            ++figures.BlockedSessions;
            figures.BlockedWaitMs += facts.WaitMs;
            figures.LongestBlockWaitMs = std::max(figures.LongestBlockWaitMs, facts.WaitMs);
        }
        if (facts.Blocking && !facts.BlockedBySession) {
            ++figures.HeadBlockers;
        }
    }
    return figures;
}
