// The arithmetic of BuildBlockTree, on plain rows: where each row ends up, with which role, and
// whether some row is blocked by another process. Kept apart from TProcessList, which only
// reads its items into rows, moves them as this result says and works out HasWarning itself.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

struct TBlockRow {
    std::int32_t Spid = 0;
    std::int32_t Blocked = 0;
    std::uint8_t BlockRole = 0; // the role before the build
};

struct TBlockForest {
    // Per row: the row it hangs under, or -1 when it stays at the top level. Rows are attached
    // from the last to the first, so appending them in that order gives the children's order.
    std::vector<std::int32_t> Parent;
    std::vector<std::uint8_t> BlockRole;
    bool HasRealBlocks = false;
};

// Arranges rows given in the order they were added, all at the top level, in near-linear time:
// a SPID index answers "first item with this SPID in pre-order" without walking the forest.
// The builder keeps its buffers for the next snapshot.
class TBlockForestBuilder {
public:
    // Snapshots of at least this many rows are large enough for the index and the forest to
    // leave the L2 cache; they then ask for memory some rows ahead of its use.
    static constexpr std::int32_t kPrefetchFrom = 16384;

    explicit TBlockForestBuilder(std::int32_t prefetchFrom = kPrefetchFrom);
    ~TBlockForestBuilder();
    TBlockForestBuilder(const TBlockForestBuilder&) = delete;
    TBlockForestBuilder& operator=(const TBlockForestBuilder&) = delete;

    // The result stays valid until the next call.
    const TBlockForest& Arrange(const std::vector<TBlockRow>& rows);

private:
    struct TImpl;
    std::unique_ptr<TImpl> Impl;
};

// The same with a builder of its own.
TBlockForest ArrangeBlockForest(const std::vector<TBlockRow>& rows);
