// How the forest is built without walking it once per blocked row.
//
// Rows are visited from the last (index N-1) to the first. When row i is visited, every row
// before it has not been visited yet and so still stands at the top level, and every top-level
// item stands in the order of its index. The pre-order of the forest therefore sorts first by
// the index of an item's top-level ancestor (its "root"), then by the order inside that tree.
// Inside a tree that order never changes: a tree only grows by another tree being appended as
// the last child of one of its nodes. Children of a node are appended as their rows are
// visited, so siblings stand in decreasing row index.
//
// Trees are kept in a union-find with the root row and each node's depth. A SPID with one row
// is answered directly. For a SPID shared by several rows (sub-threads of one process), every
// tree that holds such a row has one entry (root, first such row in that tree) in an ordered
// set. An entry whose root is still at the top level is exact. An entry whose root was moved
// since (its key is larger than i, since only visited rows move) is stale: it is looked up
// again when that SPID is next asked for, merged into the entry of its new tree, or, when its
// tree now hangs under a row that was visited and stayed at the top level, folded into one
// "first among the later trees" candidate, since such trees never move again. Two rows of one
// tree are ordered by their depths and the ancestors found by binary lifting; ancestors never
// change once set, so the lifting table fills in lazily.
//
// Blocking cycles: when the blocker found for a row lies in that row's own subtree, the row
// stays where it is (at the top level, role 1) and the blocker still gets role 2, as every
// blocker found does. Every item stays reachable and no item becomes its own ancestor.
#include "BlockForest.h"

#include <bit>
#include <climits>
#include <cstddef>
#include <iterator>
#include <set>
#include <utility>

namespace {

class TForestBuilder {
public:
    TForestBuilder(const std::vector<TBlockRow>& rows, std::int32_t warningTimeout)
        : Rows(rows), N(static_cast<std::int32_t>(rows.size())), WarningTimeout(warningTimeout) {}

    TBlockForest Run();

private:
    struct TSpidGroup {
        std::int32_t FirstRow = -1; // the only row, for a SPID with one row
        std::int32_t Count = 0;
        std::int32_t Shared = -1; // index into the shared-SPID tables when Count > 1
    };

    const std::vector<TBlockRow>& Rows;
    const std::int32_t N;
    const std::int32_t WarningTimeout;

    // SPID -> group, open addressing.
    std::vector<std::int32_t> SlotSpid;
    std::vector<std::int32_t> SlotGroup; // -1: empty
    std::uint32_t SlotShift = 0;
    std::vector<TSpidGroup> Groups;

    // Shared SPIDs: entries (root row, first row of the SPID in that tree), and the candidate
    // among trees whose root was visited and stayed at the top level.
    std::vector<std::set<std::pair<std::int32_t, std::int32_t>>> Entries;
    std::vector<std::int32_t> LaterRoot;
    std::vector<std::int32_t> LaterRow;

    // The forest: parent row, union-find with depth offsets, root row per representative.
    std::vector<std::int32_t> Parent;
    std::vector<std::int32_t> UfParent;
    std::vector<std::int32_t> UfSize;
    std::vector<std::int32_t> DepthPart; // depth = sum along the union-find path
    std::vector<std::int32_t> RootRow;
    std::vector<std::int32_t> Path;
    std::vector<std::vector<std::int32_t>> Lift; // Lift[k][v]: 2^k-th ancestor, -1 unknown

    void IndexSpids();
    std::int32_t GroupOf(std::int32_t spid) const;
    std::int32_t FirstInPreOrder(std::int32_t spid, std::int32_t visited);
    std::int32_t Find(std::int32_t v);
    std::int32_t Depth(std::int32_t v);
    void Attach(std::int32_t x, std::int32_t blocker);
    std::int32_t Ancestor(std::int32_t v, std::int32_t k);
    std::int32_t Up(std::int32_t v, std::int32_t distance);
    std::int32_t Earlier(std::int32_t a, std::int32_t b);
};

std::uint32_t SpidHash(std::int32_t spid, std::uint32_t shift) {
    return (static_cast<std::uint32_t>(spid) * 0x9E3779B1u) >> shift;
}

void TForestBuilder::IndexSpids() {
    std::uint32_t bits = 4;
    while ((std::size_t{1} << bits) < static_cast<std::size_t>(N) * 2)
        ++bits;
    SlotShift = 32 - bits;
    SlotSpid.assign(std::size_t{1} << bits, 0);
    SlotGroup.assign(std::size_t{1} << bits, -1);
    const std::uint32_t mask = (1u << bits) - 1;
    for (std::int32_t row = 0; row < N; ++row) {
        const std::int32_t spid = Rows[row].Spid;
        std::uint32_t slot = SpidHash(spid, SlotShift);
        while (SlotGroup[slot] >= 0 && SlotSpid[slot] != spid)
            slot = (slot + 1) & mask;
        if (SlotGroup[slot] < 0) {
            SlotSpid[slot] = spid;
            SlotGroup[slot] = static_cast<std::int32_t>(Groups.size());
            Groups.push_back({row, 0, -1});
        }
        TSpidGroup& group = Groups[SlotGroup[slot]];
        if (++group.Count == 2) {
            group.Shared = static_cast<std::int32_t>(Entries.size());
            Entries.emplace_back();
            Entries.back().emplace_hint(Entries.back().end(), group.FirstRow, group.FirstRow);
            LaterRoot.push_back(INT32_MAX);
            LaterRow.push_back(-1);
        }
        if (group.Count >= 2)
            Entries[group.Shared].emplace_hint(Entries[group.Shared].end(), row, row);
    }
}

std::int32_t TForestBuilder::GroupOf(std::int32_t spid) const {
    const std::uint32_t mask = static_cast<std::uint32_t>(SlotGroup.size()) - 1;
    std::uint32_t slot = SpidHash(spid, SlotShift);
    while (SlotGroup[slot] >= 0) {
        if (SlotSpid[slot] == spid)
            return SlotGroup[slot];
        slot = (slot + 1) & mask;
    }
    return -1;
}

std::int32_t TForestBuilder::Find(std::int32_t v) {
    std::int32_t rep = v;
    while (UfParent[rep] != rep)
        rep = UfParent[rep];
    // Compress from the top of the path down, so each node's part becomes its whole offset
    // below the representative.
    Path.clear();
    for (std::int32_t u = v; UfParent[u] != rep && u != rep; u = UfParent[u])
        Path.push_back(u);
    for (auto it = Path.rbegin(); it != Path.rend(); ++it) {
        DepthPart[*it] += DepthPart[UfParent[*it]];
        UfParent[*it] = rep;
    }
    return rep;
}

std::int32_t TForestBuilder::Depth(std::int32_t v) {
    const std::int32_t rep = Find(v);
    return v == rep ? DepthPart[rep] : DepthPart[v] + DepthPart[rep];
}

void TForestBuilder::Attach(std::int32_t x, std::int32_t blocker) {
    Parent[x] = blocker;
    const std::int32_t below = Depth(blocker) + 1;
    const std::int32_t rb = Find(blocker);
    const std::int32_t rx = Find(x);
    DepthPart[rx] += below; // x was a top-level item: its whole tree sinks by `below`
    if (UfSize[rx] < UfSize[rb]) {
        UfParent[rx] = rb;
        DepthPart[rx] -= DepthPart[rb];
        UfSize[rb] += UfSize[rx];
    } else {
        UfParent[rb] = rx;
        DepthPart[rb] -= DepthPart[rx];
        UfSize[rx] += UfSize[rb];
        RootRow[rx] = RootRow[rb];
    }
}

// Only called when v lies at least 2^k levels deep.
std::int32_t TForestBuilder::Ancestor(std::int32_t v, std::int32_t k) {
    if (k == 0)
        return Parent[v];
    if (Lift.size() <= static_cast<std::size_t>(k))
        Lift.resize(static_cast<std::size_t>(k) + 1);
    if (Lift[k].empty())
        Lift[k].assign(static_cast<std::size_t>(N), -1);
    if (Lift[k][v] < 0) {
        const std::int32_t half = Ancestor(v, k - 1);
        Lift[k][v] = Ancestor(half, k - 1);
    }
    return Lift[k][v];
}

std::int32_t TForestBuilder::Up(std::int32_t v, std::int32_t distance) {
    for (std::int32_t k = 0; distance != 0; ++k, distance >>= 1)
        if (distance & 1)
            v = Ancestor(v, k);
    return v;
}

// Of two rows in one tree, the one that comes first in pre-order.
std::int32_t TForestBuilder::Earlier(std::int32_t a, std::int32_t b) {
    if (a == b)
        return a;
    const std::int32_t da = Depth(a);
    const std::int32_t db = Depth(b);
    std::int32_t x = da > db ? Up(a, da - db) : a;
    std::int32_t y = db > da ? Up(b, db - da) : b;
    if (x == y)
        return da < db ? a : b; // one is the other's ancestor
    std::int32_t depth = da < db ? da : db;
    for (std::int32_t k = std::bit_width(static_cast<std::uint32_t>(depth)); k-- > 0;) {
        if ((std::int32_t{1} << k) > depth)
            continue;
        const std::int32_t ax = Ancestor(x, k);
        const std::int32_t ay = Ancestor(y, k);
        if (ax != ay) {
            x = ax;
            y = ay;
            depth -= std::int32_t{1} << k;
        }
    }
    // x and y are now siblings; the one from the later row was attached first.
    return x > y ? a : b;
}

std::int32_t TForestBuilder::FirstInPreOrder(std::int32_t spid, std::int32_t visited) {
    const std::int32_t g = GroupOf(spid);
    if (g < 0)
        return -1;
    if (Groups[g].Count == 1)
        return Groups[g].FirstRow;
    const std::int32_t s = Groups[g].Shared;
    auto& entries = Entries[s];
    while (!entries.empty()) {
        const auto last = std::prev(entries.end());
        if (last->first <= visited)
            break; // every key left names a root that has not moved
        const std::int32_t row = last->second;
        entries.erase(last);
        const std::int32_t root = RootRow[Find(row)];
        if (root > visited) {
            // Its tree hangs under a visited row that stayed at the top level: it never moves
            // again, and only the first such tree can matter.
            if (root < LaterRoot[s]) {
                LaterRoot[s] = root;
                LaterRow[s] = row;
            } else if (root == LaterRoot[s]) {
                LaterRow[s] = Earlier(LaterRow[s], row);
            }
            continue;
        }
        const auto same = entries.lower_bound({root, INT32_MIN});
        if (same != entries.end() && same->first == root) {
            const std::int32_t first = Earlier(same->second, row);
            if (first != same->second) {
                entries.erase(same);
                entries.emplace(root, first);
            }
        } else {
            entries.emplace(root, row);
        }
    }
    if (!entries.empty())
        return entries.begin()->second;
    return LaterRow[s];
}

TBlockForest TForestBuilder::Run() {
    TBlockForest result;
    result.Parent.assign(static_cast<std::size_t>(N), -1);
    result.BlockRole.resize(static_cast<std::size_t>(N));
    for (std::int32_t row = 0; row < N; ++row)
        result.BlockRole[row] = Rows[row].BlockRole;
    if (N == 0)
        return result;

    IndexSpids();
    Parent.assign(static_cast<std::size_t>(N), -1);
    UfParent.resize(static_cast<std::size_t>(N));
    RootRow.resize(static_cast<std::size_t>(N));
    for (std::int32_t row = 0; row < N; ++row)
        UfParent[row] = RootRow[row] = row;
    UfSize.assign(static_cast<std::size_t>(N), 1);
    DepthPart.assign(static_cast<std::size_t>(N), 0);

    for (std::int32_t i = N - 1; i >= 0; --i) {
        const TBlockRow& x = Rows[i];
        if (x.Blocked == 0)
            continue;
        if (x.Blocked != x.Spid)
            result.HasRealBlocks = true;
        if (x.WaitTime >= WarningTimeout)
            result.HasWarning = true;
        result.BlockRole[i] = 1;
        const std::int32_t blocker = FirstInPreOrder(x.Blocked, i);
        if (blocker < 0 || blocker == i)
            continue;
        result.BlockRole[blocker] = 2;
        if (Find(blocker) == Find(i))
            continue; // a cycle: the blocker hangs in this row's own subtree
        Attach(i, blocker);
    }
    result.Parent = std::move(Parent);
    return result;
}

} // namespace

TBlockForest ArrangeBlockForest(const std::vector<TBlockRow>& rows, std::int32_t warningTimeout) {
    return TForestBuilder(rows, warningTimeout).Run();
}
