#include "BlockingSummary.h"

#include "ProcessList.h"

#include <unordered_set>
#include <vector>

namespace {

bool BlockedByOther(const TProcessItem& item) {
    return item.Blocked != 0 && item.Blocked != item.Spid;
}

// Visits the subtree below item (not item itself), without recursion.
template <typename F>
void ForEachBelow(const TProcessItem& item, F&& visit) {
    std::vector<const TProcessItem*> pending;
    for (const auto& child : item.Children)
        pending.push_back(child.get());
    while (!pending.empty()) {
        const TProcessItem* current = pending.back();
        pending.pop_back();
        visit(*current);
        for (const auto& child : current->Children)
            pending.push_back(child.get());
    }
}

} // namespace

THeadBlocking HeadBlocking(const TProcessItem& item) {
    THeadBlocking result;
    ForEachBelow(item, [&](const TProcessItem& below) {
        if (below.Spid == item.Spid)
            return; // the blocker's own worker rows of a parallel query
        ++result.Blocking;
        if (below.WaitTime > 0)
            result.TotalWait += below.WaitTime;
    });
    return result;
}

bool IsHeadBlocker(const TProcessItem& item) {
    if (BlockedByOther(item) || item.Children.empty())
        return false;
    for (const auto& child : item.Children)
        if (child->Spid != item.Spid)
            return true;
    return HeadBlocking(item).Blocking > 0;
}

bool IsForgottenTransaction(const TProcessItem& item) {
    return item.OpenTran > 0 && item.Status == "sleeping";
}

TBlockingSummary SummarizeBlocking(const TProcessList& list) {
    TBlockingSummary s;
    std::unordered_set<std::int32_t> spids;
    std::vector<const TProcessItem*> pending;
    for (std::int32_t i = 0; i < list.Count(); ++i) {
        const TProcessItem* top = list.Item(i);
        if (IsHeadBlocker(*top))
            ++s.HeadBlockers;
        pending.push_back(top);
    }
    while (!pending.empty()) {
        const TProcessItem* item = pending.back();
        pending.pop_back();
        spids.insert(item->Spid);
        if (BlockedByOther(*item)) {
            ++s.Blocked;
            const std::int32_t wait = item->WaitTime > 0 ? item->WaitTime : 0;
            if (s.LongestWaiter == 0 || wait > s.LongestWait) {
                s.LongestWait = wait;
                s.LongestWaiter = item->Spid;
                s.LongestBlocker = item->Blocked;
            }
        }
        for (const auto& child : item->Children)
            pending.push_back(child.get());
    }
    s.Sessions = static_cast<std::int32_t>(spids.size());
    return s;
}
