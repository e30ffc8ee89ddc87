#include "ProcessListFixtures.h"

#include <algorithm>
#include <functional>
#include <memory>

void Fill(TProcessList& list, const std::vector<TRow>& rows) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        TProcessItem* item = list.Add();
        item->Spid = rows[i].Spid;
        item->Blocked = rows[i].Blocked;
        item->WaitTime = rows[i].WaitTime;
        item->Cpu = static_cast<std::int32_t>(i);
    }
}

namespace {

std::string Describe(const TProcessList& list, bool byRow) {
    std::string out;
    std::function<void(const TProcessItem&)> item = [&](const TProcessItem& it) {
        out += byRow ? "#" + std::to_string(it.Cpu) : std::to_string(it.Spid);
        out += ":" + std::to_string(it.BlockRole);
        if (it.ChildCount() > 0) {
            out += "(";
            for (std::int32_t c = 0; c < it.ChildCount(); ++c) {
                if (c > 0)
                    out += " ";
                item(*it.Child(c));
            }
            out += ")";
        }
    };
    for (std::int32_t i = 0; i < list.Count(); ++i) {
        if (i > 0)
            out += " ";
        item(*list.Item(i));
    }
    return out;
}

struct TRefItem {
    std::int32_t Row = 0;
    TRow Data;
    std::uint8_t Role = 0;
    TRefItem* Parent = nullptr;
    std::vector<TRefItem*> Children;
};

TRefItem* FindIn(const std::vector<TRefItem*>& collection, std::int32_t spid) {
    for (TRefItem* item : collection) {
        if (item->Data.Spid == spid)
            return item;
        if (TRefItem* found = FindIn(item->Children, spid))
            return found;
    }
    return nullptr;
}

std::string DescribeRef(const std::vector<TRefItem*>& collection) {
    std::string out;
    for (std::size_t i = 0; i < collection.size(); ++i) {
        if (i > 0)
            out += " ";
        out += "#" + std::to_string(collection[i]->Row) + ":" + std::to_string(collection[i]->Role);
        if (!collection[i]->Children.empty())
            out += "(" + DescribeRef(collection[i]->Children) + ")";
    }
    return out;
}

} // namespace

std::string Picture(const TProcessList& list) {
    return Describe(list, false);
}
std::string RowPicture(const TProcessList& list) {
    return Describe(list, true);
}

std::int64_t ReachableCount(const TProcessList& list) {
    std::int64_t count = 0;
    std::vector<const TProcessItem*> stack;
    for (std::int32_t i = 0; i < list.Count(); ++i)
        stack.push_back(list.Item(i));
    while (!stack.empty()) {
        const TProcessItem* item = stack.back();
        stack.pop_back();
        ++count;
        for (std::int32_t c = 0; c < item->ChildCount(); ++c)
            stack.push_back(item->Child(c));
    }
    return count;
}

TReferenceResult ReferenceBuild(const std::vector<TRow>& rows, std::uint16_t warningTimeout) {
    std::vector<std::unique_ptr<TRefItem>> all;
    std::vector<TRefItem*> items;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        all.push_back(std::make_unique<TRefItem>());
        all.back()->Row = static_cast<std::int32_t>(i);
        all.back()->Data = rows[i];
        items.push_back(all.back().get());
    }
    TReferenceResult result;
    const auto n = static_cast<std::int32_t>(items.size());
    for (std::int32_t i = n - 1; i >= 0; --i) {
        TRefItem* x = items[static_cast<std::size_t>(i)];
        if (x->Data.Blocked == 0)
            continue;
        if (x->Data.Blocked != x->Data.Spid)
            result.HasRealBlocks = true;
        if (x->Data.WaitTime >= static_cast<std::int32_t>(warningTimeout))
            result.HasWarning = true;
        x->Role = 1;
        TRefItem* b = FindIn(items, x->Data.Blocked);
        if (b == nullptr || b == x)
            continue;
        b->Role = 2;
        bool inOwnSubtree = false;
        for (TRefItem* up = b; up != nullptr; up = up->Parent)
            inOwnSubtree = inOwnSubtree || up == x;
        if (inOwnSubtree)
            continue;
        items.erase(items.begin() + i);
        b->Children.push_back(x);
        x->Parent = b;
    }
    result.RowPicture = DescribeRef(items);
    return result;
}
