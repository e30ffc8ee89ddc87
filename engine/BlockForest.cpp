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

#include <algorithm>
#include <bit>
#include <climits>
#include <cstddef>
#include <iterator>
#include <memory>
#include <set>
#include <utility>

namespace {

std::uint32_t SpidHash(std::int32_t spid, std::uint32_t shift) {
    return (static_cast<std::uint32_t>(spid) * 0x9E3779B1u) >> shift;
}

} // namespace

// Every buffer is kept from one snapshot to the next: a large snapshot then costs no fresh
// memory (and no page faults) when the next one of similar size is arranged.
struct TBlockForestBuilder::TImpl {
    const TBlockForest& Run(const std::vector<TBlockRow>& rows);

    const TBlockRow* Rows = nullptr;
    std::int32_t N = 0;
    TBlockForest Result;

    // SPID index. Value: the row, for a SPID with one row; -2 - k for the k-th SPID shared by
    // several rows; kEmpty for none. SPIDs are small numbers close together, so they usually
    // index an array directly (Direct, from MinSpid); a sparse set goes to a hash table.
    static constexpr std::int32_t kEmpty = -1;
    struct TSlot {
        std::int32_t Spid;
        std::int32_t Value;
    };
    std::vector<std::int32_t> Direct;
    std::int64_t MinSpid = 0;
    std::vector<TSlot> Slots;
    std::uint32_t SlotShift = 0;

    std::int32_t& ValueSlot(std::int32_t spid); // inserting
    // Shared SPIDs: entries (root row, first row of the SPID in that tree) ordered by root,
    // and the candidate among trees whose root was visited and stayed at the top level. A
    // SPID never has more entries than rows, so the entries of a SPID with few rows live in a
    // sorted slice of Pool; many rows get a balanced tree.
    using TEntry = std::pair<std::int32_t, std::int32_t>;
    static constexpr std::int32_t kSliceLimit = 32;
    struct TShared {
        std::int32_t Count = 0; // rows with this SPID
        std::int32_t Begin = 0; // the slice in Pool
        std::int32_t Size = 0;
        std::unique_ptr<std::set<TEntry>> Tree;
        std::int32_t LaterRoot = INT32_MAX;
        std::int32_t LaterRow = -1;
    };
    std::vector<TShared> Shared;
    std::vector<TEntry> Pool;

    bool HasEntries(const TShared& shared) const;
    TEntry LastEntry(const TShared& shared) const;
    void PopLastEntry(TShared& shared);
    TEntry FirstEntry(const TShared& shared) const;
    void AddEntry(TShared& shared, std::int32_t root, std::int32_t row);

    // The forest: union-find over trees (UfParent, apart because Find reads nothing else),
    // with depth offsets (a node's depth is the sum of DepthPart along its union-find path)
    // and the root row of each tree, kept at its representative.
    struct TNode {
        std::int32_t UfSize;
        std::int32_t DepthPart;
        std::int32_t RootRow;
    };
    std::vector<std::int32_t> UfParent;
    std::vector<TNode> Nodes;
    std::vector<std::int32_t> Path;
    std::vector<std::vector<std::int32_t>> Lift; // Lift[k][v]: 2^k-th ancestor, -1 unknown
    std::vector<bool> LiftReady;                 // Lift[k] was cleared for this snapshot

    std::vector<std::int32_t> RowShared;

    // How many rows ahead the index and the blockers are asked for, from PrefetchFrom rows on.
    static constexpr std::int32_t kPrefetchRows = 16;
    std::int32_t PrefetchFrom = kPrefetchFrom;
    void PrefetchSlot(std::int32_t spid) const;
    std::int32_t PrefetchBlocker(std::int32_t spid) const;
    // Index values of the rows prefetched ahead, by row modulo kPrefetchRows.
    std::int32_t Ahead[kPrefetchRows] = {};
    void IndexSpids();
    std::int32_t Lookup(std::int32_t spid) const;
    // value: what the SPID index holds for the blocker's SPID.
    std::int32_t FirstInPreOrder(std::int32_t value, std::int32_t visited);
    std::int32_t Find(std::int32_t v);
    std::int32_t Depth(std::int32_t v);
    void Attach(std::int32_t x, std::int32_t rx, std::int32_t blocker, std::int32_t rb);
    std::int32_t Ancestor(std::int32_t v, std::int32_t k);
    std::int32_t Up(std::int32_t v, std::int32_t distance);
    std::int32_t Earlier(std::int32_t a, std::int32_t b);
};

std::int32_t& TBlockForestBuilder::TImpl::ValueSlot(std::int32_t spid) {
    if (!Direct.empty())
        return Direct[static_cast<std::size_t>(spid - MinSpid)];
    const std::uint32_t mask = static_cast<std::uint32_t>(Slots.size()) - 1;
    std::uint32_t at = SpidHash(spid, SlotShift);
    while (Slots[at].Value != kEmpty && Slots[at].Spid != spid)
        at = (at + 1) & mask;
    Slots[at].Spid = spid;
    return Slots[at].Value;
}

void TBlockForestBuilder::TImpl::IndexSpids() {
    std::int64_t low = Rows[0].Spid;
    std::int64_t high = low;
    for (std::int32_t row = 0; row < N; ++row) {
        low = std::min<std::int64_t>(low, Rows[row].Spid);
        high = std::max<std::int64_t>(high, Rows[row].Spid);
    }
    if (high - low < 4 * static_cast<std::int64_t>(N) + 64) {
        MinSpid = low;
        Direct.assign(static_cast<std::size_t>(high - low + 1), kEmpty);
    } else {
        std::uint32_t bits = 4;
        while ((std::size_t{1} << bits) < static_cast<std::size_t>(N) * 2)
            ++bits;
        SlotShift = 32 - bits;
        Slots.assign(std::size_t{1} << bits, TSlot{0, kEmpty});
    }
    // RowShared[row]: which shared SPID the row has, or -1.
    RowShared.assign(static_cast<std::size_t>(N), -1);
    const bool prefetch = N >= PrefetchFrom;
    for (std::int32_t row = 0; row < N; ++row) {
        if (prefetch && row + kPrefetchRows < N)
            PrefetchSlot(Rows[row + kPrefetchRows].Spid);
        std::int32_t& value = ValueSlot(Rows[row].Spid);
        if (value == kEmpty) {
            value = row;
        } else if (value >= 0) {
            const auto shared = static_cast<std::int32_t>(Shared.size());
            RowShared[static_cast<std::size_t>(value)] = shared;
            RowShared[static_cast<std::size_t>(row)] = shared;
            value = -2 - shared;
            Shared.emplace_back().Count = 2;
        } else {
            RowShared[static_cast<std::size_t>(row)] = -2 - value;
            ++Shared[static_cast<std::size_t>(-2 - value)].Count;
        }
    }
    std::int32_t pooled = 0;
    for (TShared& shared : Shared) {
        if (shared.Count > kSliceLimit) {
            shared.Tree = std::make_unique<std::set<TEntry>>();
        } else {
            shared.Begin = pooled;
            pooled += shared.Count;
        }
    }
    Pool.resize(static_cast<std::size_t>(pooled));
    // Every row starts as its own tree: entries (row, row), added in increasing order, so
    // each one goes to the end.
    for (std::int32_t row = 0; row < N; ++row) {
        if (prefetch && row + kPrefetchRows < N)
            if (const std::int32_t ahead = RowShared[static_cast<std::size_t>(row + kPrefetchRows)];
                ahead >= 0)
                __builtin_prefetch(&Shared[static_cast<std::size_t>(ahead)], 1);
        const std::int32_t k = RowShared[static_cast<std::size_t>(row)];
        if (k < 0)
            continue;
        TShared& shared = Shared[static_cast<std::size_t>(k)];
        if (shared.Tree)
            shared.Tree->emplace_hint(shared.Tree->end(), row, row);
        else
            Pool[static_cast<std::size_t>(shared.Begin + shared.Size++)] = {row, row};
    }
}

// Asks for the index slot of a SPID ahead of its use; a large snapshot's index no longer fits
// in the nearest caches and the SPIDs come in no useful order.
void TBlockForestBuilder::TImpl::PrefetchSlot(std::int32_t spid) const {
    if (!Direct.empty()) {
        const std::int64_t at = spid - MinSpid;
        if (at >= 0 && at < static_cast<std::int64_t>(Direct.size()))
            __builtin_prefetch(&Direct[static_cast<std::size_t>(at)]);
    } else {
        __builtin_prefetch(&Slots[SpidHash(spid, SlotShift)]);
    }
}

// The same for what visiting a blocked row reads about its blocker; returns the index value
// of the SPID, so that the visit need not look it up again.
std::int32_t TBlockForestBuilder::TImpl::PrefetchBlocker(std::int32_t spid) const {
    const std::int32_t value = Lookup(spid);
    if (value >= 0) {
        __builtin_prefetch(&UfParent[static_cast<std::size_t>(value)], 1);
        __builtin_prefetch(&Nodes[static_cast<std::size_t>(value)], 1);
    } else if (value < kEmpty) {
        __builtin_prefetch(&Shared[static_cast<std::size_t>(-2 - value)]);
    }
    return value;
}

bool TBlockForestBuilder::TImpl::HasEntries(const TShared& shared) const {
    return shared.Tree ? !shared.Tree->empty() : shared.Size > 0;
}

TBlockForestBuilder::TImpl::TEntry
TBlockForestBuilder::TImpl::LastEntry(const TShared& shared) const {
    return shared.Tree ? *shared.Tree->rbegin()
                       : Pool[static_cast<std::size_t>(shared.Begin + shared.Size - 1)];
}

void TBlockForestBuilder::TImpl::PopLastEntry(TShared& shared) {
    if (shared.Tree)
        shared.Tree->erase(std::prev(shared.Tree->end()));
    else
        --shared.Size;
}

TBlockForestBuilder::TImpl::TEntry
TBlockForestBuilder::TImpl::FirstEntry(const TShared& shared) const {
    return shared.Tree ? *shared.Tree->begin() : Pool[static_cast<std::size_t>(shared.Begin)];
}

// Adds a row under its tree's root; when the tree has an entry already, the earlier of the two
// rows in pre-order stays.
void TBlockForestBuilder::TImpl::AddEntry(TShared& shared, std::int32_t root, std::int32_t row) {
    if (shared.Tree) {
        const auto same = shared.Tree->lower_bound({root, INT32_MIN});
        if (same == shared.Tree->end() || same->first != root) {
            shared.Tree->emplace_hint(same, root, row);
        } else if (const std::int32_t first = Earlier(same->second, row); first != same->second) {
            shared.Tree->erase(same);
            shared.Tree->emplace(root, first);
        }
        return;
    }
    TEntry* begin = Pool.data() + shared.Begin;
    TEntry* end = begin + shared.Size;
    TEntry* at = std::lower_bound(begin, end, TEntry{root, INT32_MIN});
    if (at != end && at->first == root) {
        at->second = Earlier(at->second, row);
        return;
    }
    std::move_backward(at, end, end + 1); // room is there: never more entries than rows
    *at = {root, row};
    ++shared.Size;
}

std::int32_t TBlockForestBuilder::TImpl::Lookup(std::int32_t spid) const {
    if (!Direct.empty()) {
        const std::int64_t at = spid - MinSpid;
        return at < 0 || at >= static_cast<std::int64_t>(Direct.size())
                   ? kEmpty
                   : Direct[static_cast<std::size_t>(at)];
    }
    const std::uint32_t mask = static_cast<std::uint32_t>(Slots.size()) - 1;
    std::uint32_t at = SpidHash(spid, SlotShift);
    while (Slots[at].Value != kEmpty) {
        if (Slots[at].Spid == spid)
            return Slots[at].Value;
        at = (at + 1) & mask;
    }
    return kEmpty;
}

std::int32_t TBlockForestBuilder::TImpl::Find(std::int32_t v) {
    std::int32_t rep = v;
    while (UfParent[rep] != rep)
        rep = UfParent[rep];
    // Compress from the top of the path down, so each node's part becomes its whole offset
    // below the representative.
    Path.clear();
    for (std::int32_t u = v; u != rep && UfParent[u] != rep; u = UfParent[u])
        Path.push_back(u);
    for (auto it = Path.rbegin(); it != Path.rend(); ++it) {
        Nodes[*it].DepthPart += Nodes[UfParent[*it]].DepthPart;
        UfParent[*it] = rep;
    }
    return rep;
}

std::int32_t TBlockForestBuilder::TImpl::Depth(std::int32_t v) {
    const std::int32_t rep = Find(v);
    return v == rep ? Nodes[rep].DepthPart : Nodes[v].DepthPart + Nodes[rep].DepthPart;
}

// x is a top-level row with representative rx; blocker lies in another tree, with
// representative rb.
void TBlockForestBuilder::TImpl::Attach(std::int32_t x, std::int32_t rx, std::int32_t blocker,
                                        std::int32_t rb) {
    Result.Parent[x] = blocker;
    TNode& tx = Nodes[rx];
    TNode& tb = Nodes[rb];
    // The whole tree of x sinks below the blocker.
    tx.DepthPart += (blocker == rb ? 0 : Nodes[blocker].DepthPart) + tb.DepthPart + 1;
    if (tx.UfSize < tb.UfSize) {
        UfParent[rx] = rb;
        tx.DepthPart -= tb.DepthPart;
        tb.UfSize += tx.UfSize;
    } else {
        UfParent[rb] = rx;
        tb.DepthPart -= tx.DepthPart;
        tx.UfSize += tb.UfSize;
        tx.RootRow = tb.RootRow;
    }
}

// Only called when v lies at least 2^k levels deep.
std::int32_t TBlockForestBuilder::TImpl::Ancestor(std::int32_t v, std::int32_t k) {
    if (k == 0)
        return Result.Parent[v];
    if (Lift.size() <= static_cast<std::size_t>(k)) {
        Lift.resize(static_cast<std::size_t>(k) + 1);
        LiftReady.resize(static_cast<std::size_t>(k) + 1);
    }
    if (!LiftReady[k]) {
        Lift[k].assign(static_cast<std::size_t>(N), -1);
        LiftReady[k] = true;
    }
    if (Lift[k][v] < 0) {
        const std::int32_t half = Ancestor(v, k - 1);
        Lift[k][v] = Ancestor(half, k - 1);
    }
    return Lift[k][v];
}

std::int32_t TBlockForestBuilder::TImpl::Up(std::int32_t v, std::int32_t distance) {
    for (std::int32_t k = 0; distance != 0; ++k, distance >>= 1)
        if (distance & 1)
            v = Ancestor(v, k);
    return v;
}

// Of two rows in one tree, the one that comes first in pre-order.
std::int32_t TBlockForestBuilder::TImpl::Earlier(std::int32_t a, std::int32_t b) {
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

std::int32_t TBlockForestBuilder::TImpl::FirstInPreOrder(std::int32_t value, std::int32_t visited) {
    if (value >= -1)
        return value; // the only row with that SPID, or none
    TShared& shared = Shared[static_cast<std::size_t>(-2 - value)];
    while (HasEntries(shared)) {
        const auto [key, row] = LastEntry(shared);
        if (key <= visited)
            break; // every key left names a root that has not moved
        PopLastEntry(shared);
        const std::int32_t root = Nodes[Find(row)].RootRow;
        if (root > visited) {
            // Its tree's root was visited and stayed at the top level: that tree never moves
            // again, and only the first such tree can matter.
            if (root < shared.LaterRoot) {
                shared.LaterRoot = root;
                shared.LaterRow = row;
            } else if (root == shared.LaterRoot) {
                shared.LaterRow = Earlier(shared.LaterRow, row);
            }
            continue;
        }
        AddEntry(shared, root, row);
    }
    return HasEntries(shared) ? FirstEntry(shared).second : shared.LaterRow;
}

const TBlockForest& TBlockForestBuilder::TImpl::Run(const std::vector<TBlockRow>& rows) {
    Rows = rows.data();
    N = static_cast<std::int32_t>(rows.size());
    TBlockForest& result = Result;
    result.HasRealBlocks = false;
    result.Parent.assign(static_cast<std::size_t>(N), -1);
    result.BlockRole.resize(static_cast<std::size_t>(N));
    bool anyBlocked = false;
    for (std::int32_t row = 0; row < N; ++row) {
        result.BlockRole[row] = Rows[row].BlockRole;
        anyBlocked = anyBlocked || Rows[row].Blocked != 0;
    }
    if (!anyBlocked)
        return result;

    UfParent.resize(static_cast<std::size_t>(N));
    Nodes.resize(static_cast<std::size_t>(N));
    for (std::int32_t row = 0; row < N; ++row) {
        UfParent[row] = row;
        Nodes[row] = {1, 0, row};
    }
    Direct.clear();
    Slots.clear();
    Shared.clear();
    LiftReady.assign(LiftReady.size(), false);
    IndexSpids();

    const bool prefetch = N >= PrefetchFrom;
    for (std::int32_t i = N - 1; i >= 0; --i) {
        const TBlockRow& x = Rows[i];
        // The index value of this row's blocker, looked up ahead when prefetching.
        const std::int32_t value = x.Blocked == 0                      ? kEmpty
                                   : prefetch && i < N - kPrefetchRows ? Ahead[i % kPrefetchRows]
                                                                       : Lookup(x.Blocked);
        // The blocker of a row visited later is looked up now and its entries are asked for.
        // (The index itself is read in order: the query sorts the rows by blocker.)
        if (prefetch && i >= kPrefetchRows)
            if (const std::int32_t ahead = i - kPrefetchRows; Rows[ahead].Blocked != 0)
                Ahead[ahead % kPrefetchRows] = PrefetchBlocker(Rows[ahead].Blocked);
        if (x.Blocked == 0)
            continue;
        if (x.Blocked != x.Spid)
            result.HasRealBlocks = true;
        result.BlockRole[i] = 1;
        const std::int32_t blocker = FirstInPreOrder(value, i);
        if (blocker < 0 || blocker == i)
            continue;
        result.BlockRole[blocker] = 2;
        const std::int32_t rb = Find(blocker); // compresses blocker's path: one step left
        const std::int32_t rx = Find(i);
        if (rb == rx)
            continue; // a cycle: the blocker hangs in this row's own subtree
        Attach(i, rx, blocker, rb);
    }
    return result;
}

TBlockForestBuilder::TBlockForestBuilder(std::int32_t prefetchFrom)
    : Impl(std::make_unique<TImpl>()) {
    Impl->PrefetchFrom = prefetchFrom;
}

TBlockForestBuilder::~TBlockForestBuilder() = default;

const TBlockForest& TBlockForestBuilder::Arrange(const std::vector<TBlockRow>& rows) {
    return Impl->Run(rows);
}

TBlockForest ArrangeBlockForest(const std::vector<TBlockRow>& rows) {
    TBlockForestBuilder builder;
    return builder.Arrange(rows);
}
