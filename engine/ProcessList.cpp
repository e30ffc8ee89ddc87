#include "ProcessList.h"

#include "BlockForest.h"
#include "Errors.h"
#include "Settings.h"

#include <algorithm>
#include <string>
#include <utility>

namespace {

// Items are separate allocations; asking for the fields of the next ones early lets their
// cache misses overlap when a large snapshot no longer fits in the cache.
constexpr std::size_t kPrefetchDistance = 16;

void PrefetchKeys(const TProcessItem* item) {
    __builtin_prefetch(&item->Spid);
}

void PrefetchForWrite(const TProcessItem* item) {
    __builtin_prefetch(&item->Spid, 1);
}

} // namespace

TProcessItem::~TProcessItem() {
    // Unlink the subtree level by level so that no destructor below this one has children.
    std::vector<std::unique_ptr<TProcessItem>> pending = std::move(Children);
    while (!pending.empty()) {
        std::unique_ptr<TProcessItem> item = std::move(pending.back());
        pending.pop_back();
        for (auto& child : item->Children)
            pending.push_back(std::move(child));
        item->Children.clear();
    }
}

TProcessItem* TProcessItem::Child(std::int32_t index) const {
    if (index < 0 || index >= ChildCount())
        throw Exception("Child index out of range (" + std::to_string(index) + ")");
    return Children[static_cast<std::size_t>(index)].get();
}

struct TProcessList::TWorkspace {
    TBlockForestBuilder Builder;
    std::vector<TBlockRow> Rows;
    std::vector<std::int32_t> FreePlaces;
};

TProcessList::TProcessList() = default;

TProcessList::~TProcessList() {
    Clear();
}

TProcessItem* TProcessList::Add() {
    ++Version_;
    auto item = std::make_unique<TProcessItem>();
    Rows.push_back(item.get());
    try {
        Items.push_back(std::move(item));
    } catch (...) {
        Rows.pop_back();
        throw;
    }
    return Rows.back();
}

void TProcessList::Clear() {
    ++Version_;
    Rows.clear();
    Items.clear();
    Arranged = false;
}

TProcessItem* TProcessList::Item(std::int32_t index) const {
    if (index < 0 || index >= Count())
        throw Exception("Process list index out of range (" + std::to_string(index) + ")");
    return Items[static_cast<std::size_t>(index)].get();
}

TProcessItem* TProcessList::FindBySpid(std::int32_t spid) const {
    // Pre-order with an explicit stack: a blocking chain can be as deep as the snapshot.
    std::vector<TProcessItem*> stack;
    for (auto it = Items.rbegin(); it != Items.rend(); ++it)
        stack.push_back(it->get());
    while (!stack.empty()) {
        TProcessItem* item = stack.back();
        stack.pop_back();
        if (item->Spid == spid)
            return item;
        for (auto it = item->Children.rbegin(); it != item->Children.rend(); ++it)
            stack.push_back(it->get());
    }
    return nullptr;
}

// Puts every item back at the top level in the order of Add, roles cleared, so that a second
// build gives what the first one gave.
void TProcessList::Flatten() {
    std::vector<std::unique_ptr<TProcessItem>> pending;
    pending.reserve(Rows.size());
    std::vector<std::unique_ptr<TProcessItem>> items;
    items.reserve(Rows.size());
    for (auto& item : Items)
        pending.push_back(std::move(item));
    Items.clear();
    while (!pending.empty()) {
        std::unique_ptr<TProcessItem> item = std::move(pending.back());
        pending.pop_back();
        for (auto& child : item->Children)
            pending.push_back(std::move(child));
        item->Children.clear();
        item.release(); // owned again below, through Rows
    }
    for (TProcessItem* row : Rows) {
        row->BlockRole = 0;
        items.emplace_back(row);
    }
    Items = std::move(items);
}

void TProcessList::BuildBlockTree() {
    ++Version_;
    if (Arranged)
        Flatten();
    Arranged = true;
    const std::size_t n = Items.size();

    // Two passes over the items, in opposite directions: a snapshot larger than the cache is
    // then mostly still in it from the pass before (it was filled front to back).
    if (!Workspace)
        Workspace = std::make_unique<TWorkspace>();
    std::vector<TBlockRow>& rows = Workspace->Rows;
    rows.resize(n);
    // The threshold is unsigned 16-bit; widened without sign it compares as signed 32-bit,
    // so a negative WaitTime never reaches it.
    const auto threshold = static_cast<std::int32_t>(WarningTimeout);
    bool warning = false;
    for (std::size_t i = n; i-- > 0;) {
        if (i >= kPrefetchDistance)
            PrefetchKeys(Rows[i - kPrefetchDistance]);
        const TProcessItem& item = *Items[i];
        rows[i] = {item.Spid, item.Blocked, item.BlockRole};
        if (!warning && item.Blocked != 0 && item.WaitTime >= threshold)
            warning = true;
    }
    const TBlockForest& forest = Workspace->Builder.Arrange(rows);
    HasRealBlocks_ = forest.HasRealBlocks;
    HasWarning_ = warning;

    // A blocker's children stand in the order their rows were visited, the last row first.
    // Walking the rows front to back, each child takes the last free place of its blocker's
    // collection, which is sized once.
    std::vector<std::int32_t>& freePlaces = Workspace->FreePlaces;
    freePlaces.assign(n, 0);
    bool moved = false;
    for (const std::int32_t parent : forest.Parent) {
        if (parent >= 0) {
            ++freePlaces[static_cast<std::size_t>(parent)];
            moved = true;
        }
    }
    if (!moved) {
        for (std::size_t i = 0; i < n; ++i)
            if (forest.BlockRole[i] != rows[i].BlockRole)
                Items[i]->BlockRole = forest.BlockRole[i];
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (const std::size_t ahead = i + kPrefetchDistance; ahead < n) {
            if (forest.BlockRole[ahead] != rows[ahead].BlockRole)
                PrefetchForWrite(Rows[ahead]);
            if (forest.Parent[ahead] >= 0)
                PrefetchForWrite(Rows[static_cast<std::size_t>(forest.Parent[ahead])]);
        }
        TProcessItem& item = *Rows[i];
        if (forest.BlockRole[i] != rows[i].BlockRole)
            item.BlockRole = forest.BlockRole[i];
        if (forest.Parent[i] >= 0) {
            const auto parent = static_cast<std::size_t>(forest.Parent[i]);
            TProcessItem& blocker = *Rows[parent];
            if (blocker.Children.empty())
                blocker.Children.resize(static_cast<std::size_t>(freePlaces[parent]));
            blocker.Children[static_cast<std::size_t>(--freePlaces[parent])] = std::move(Items[i]);
        }
    }
    Items.erase(std::remove(Items.begin(), Items.end(), nullptr), Items.end());
}
