#include "ProcessView.h"

#include "ProcessList.h"
#include "ServerData.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMouseEvent>
#include <utility>
#include <vector>

namespace {
// Widths a DBA can read at a glance; the user's saved layout replaces them.
constexpr int kDefaultWidths[TProcessModel::ColumnCount] = {72,  90, 240, 66, 80, 100, 150,
                                                            130, 70, 90,  70, 70, 70};
} // namespace

TProcessView::TProcessView(const TImageList& images, QWidget* parent)
    : QTreeView(parent), ProcessModel(images) {
    setObjectName("ProcessesTL");
    setModel(&ProcessModel);
    setUniformRowHeights(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setExpandsOnDoubleClick(false);
    setRootIsDecorated(true);
    setAllColumnsShowFocus(true);
    setTextElideMode(Qt::ElideRight);
    setAlternatingRowColors(true);
    setIconSize(QSize(16, 16));
    header()->setSectionsMovable(true);
    header()->setStretchLastSection(false);
    header()->setSortIndicator(-1, Qt::AscendingOrder);
    header()->setSortIndicatorShown(true);
    for (int c = 0; c < TProcessModel::ColumnCount; ++c)
        header()->resizeSection(c, kDefaultWidths[c]);
    setSortingEnabled(true);
    connect(
        selectionModel(), &QItemSelectionModel::currentChanged, this,
        [this](const QModelIndex& current, const QModelIndex&) { ProcessesTLChangeNode(current); });
}

void TProcessView::ShowProcesses(TServerData* server, bool onlyBlocks) {
    int remembered = -1;
    ProcessModel.BeginRebuild();
    {
        // The rebuild is one batch: rows appear, and are sorted, once it ends, on every path.
        struct TEnd {
            TProcessView* View;
            ~TEnd() {
                View->ProcessModel.EndRebuild(View->header()->sortIndicatorSection(),
                                              View->header()->sortIndicatorOrder());
            }
        } end{this};
        if (!server || server->State == 2)
            return;
        const TProcessList& list = server->ProcessList;
        for (std::int32_t i = 0; i < list.Count(); ++i) {
            const TProcessItem& item = *list.Item(i);
            if (!onlyBlocks || item.BlockRole != 0)
                AddProcessNode(item, -1, server->SelectedSpid, remembered);
        }
    }
    if (remembered >= 0) {
        const QModelIndex r = ProcessModel.IndexOfRow(remembered);
        std::vector<QModelIndex> ancestors;
        for (QModelIndex a = r.parent(); a.isValid(); a = a.parent())
            ancestors.push_back(a);
        for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it)
            expand(*it);
        selectionModel()->setCurrentIndex(r, QItemSelectionModel::ClearAndSelect |
                                                 QItemSelectionModel::Rows);
        scrollTo(r);
    }
    const int focused = FocusedRow();
    if (focused >= 0) {
        server->SelectedSpid = ProcessModel.Spid(focused);
        if (ProcessModel.ChildCount(focused) > 0)
            expand(ProcessModel.IndexOfRow(focused));
    }
}

void TProcessView::AddProcessNode(const TProcessItem& item, int parentRow,
                                  std::int32_t selectedSpid, int& remembered) {
    // Pre-order with an explicit stack, so a chain of any depth fills like the recursion would.
    std::vector<std::pair<const TProcessItem*, int>> pending{{&item, parentRow}};
    while (!pending.empty()) {
        auto [current, parent] = pending.back();
        pending.pop_back();
        const int row = ProcessModel.AddRow(*current, parent);
        if (remembered < 0 && selectedSpid > 0 && selectedSpid == current->Spid)
            remembered = row;
        for (auto it = current->Children.rbegin(); it != current->Children.rend(); ++it)
            pending.emplace_back(it->get(), row);
    }
}

void TProcessView::ProcessesTLChangeNode(const QModelIndex& current) {
    TServerData* server = FocusedServer ? FocusedServer() : nullptr;
    if (!server)
        return;
    if (!current.isValid()) {
        server->SelectedSpid = 0;
        return;
    }
    bool ok = false;
    const int spid =
        ProcessModel.Text(TProcessModel::RowOf(current), TProcessModel::SpidTLC).toInt(&ok);
    server->SelectedSpid = ok ? spid : 0;
}

int TProcessView::FocusedRow() const {
    const QModelIndex current = selectionModel()->currentIndex();
    return current.isValid() ? TProcessModel::RowOf(current) : -1;
}

QString TProcessView::FocusedSpidText() const {
    const int row = FocusedRow();
    return row < 0 ? QString() : ProcessModel.Text(row, TProcessModel::SpidTLC);
}

void TProcessView::mouseDoubleClickEvent(QMouseEvent* event) {
    // Focus the row under the mouse as a click would, then report the double click; rows are
    // expanded only by their buttons and the keyboard.
    QTreeView::mouseDoubleClickEvent(event);
    emit DoubleClicked();
}
