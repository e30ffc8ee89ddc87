#include "ProcessList.h"

#include "BlockForest.h"
#include "Errors.h"
#include "Settings.h"

#include <algorithm>
#include <string>
#include <utility>

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

TProcessItem* TProcessList::Add() {
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
    if (Arranged)
        Flatten();
    Arranged = true;

    std::vector<TBlockRow> rows(Items.size());
    for (std::size_t i = 0; i < Items.size(); ++i) {
        const TProcessItem& item = *Items[i];
        // WaitTime matters only for blocked rows; skipping it spares a cache line per row.
        rows[i] = {item.Spid, item.Blocked, item.Blocked != 0 ? item.WaitTime : 0, item.BlockRole};
    }
    // The threshold is unsigned 16-bit; widened without sign it compares as signed 32-bit,
    // so a negative WaitTime never reaches it.
    const TBlockForest forest = ArrangeBlockForest(rows, static_cast<std::int32_t>(WarningTimeout));

    HasRealBlocks_ = forest.HasRealBlocks;
    HasWarning_ = forest.HasWarning;
    // One pass, in the order the rows were visited (last row first): each moved row goes to
    // the end of its blocker's children, as the build placed it.
    bool moved = false;
    for (std::size_t i = Items.size(); i-- > 0;) {
        if (forest.BlockRole[i] != rows[i].BlockRole)
            Items[i]->BlockRole = forest.BlockRole[i];
        const std::int32_t parent = forest.Parent[i];
        if (parent >= 0) {
            Rows[static_cast<std::size_t>(parent)]->Children.push_back(std::move(Items[i]));
            moved = true;
        }
    }
    if (moved)
        Items.erase(std::remove(Items.begin(), Items.end(), nullptr), Items.end());
}
