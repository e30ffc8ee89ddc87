#include "ProcessView.h"

#include "ProcessList.h"
#include "RowsAsText.h"
#include "ServerData.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <algorithm>
#include <set>
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
    // A narrower step than the style's keeps deep chains readable.
    setIndentation(14);
    header()->setSectionsMovable(true);
    header()->setStretchLastSection(false);
    header()->setSortIndicator(-1, Qt::AscendingOrder);
    header()->setSortIndicatorShown(true);
    for (int c = 0; c < TProcessModel::ColumnCount; ++c)
        header()->resizeSection(c, kDefaultWidths[c]);
    setSortingEnabled(true);
    SpidBaseWidth = kDefaultWidths[TProcessModel::SpidTLC];
    connect(header(), &QHeaderView::sectionResized, this, [this](int section, int, int size) {
        if (section != TProcessModel::SpidTLC || Rebuilding)
            return;
        // Only a drag of the divider is the user's choice; a restored layout sets the width
        // the fitting starts from.
        if (HeaderPressed)
            UserSizedSpid = true;
        else
            SpidBaseWidth = size;
    });
    connect(header(), &QHeaderView::sectionHandleDoubleClicked, this, [this](int section) {
        if (section == TProcessModel::SpidTLC)
            UserSizedSpid = true;
    });
    header()->viewport()->installEventFilter(this);
    connect(this, &QTreeView::expanded, this,
            [this](const QModelIndex& index) { RememberExpanded(index, true); });
    connect(this, &QTreeView::collapsed, this,
            [this](const QModelIndex& index) { RememberExpanded(index, false); });
    connect(
        selectionModel(), &QItemSelectionModel::currentChanged, this,
        [this](const QModelIndex& current, const QModelIndex&) { ProcessesTLChangeNode(current); });
}

void TProcessView::ShowProcesses(TServerData* server, bool onlyBlocks) {
    int remembered = -1;
    // A refresh keeps where the user scrolled to: the columns always (every server has the
    // same), the rows for the same server.
    const bool sameServer = server && server == Shown;
    const int hScroll = horizontalScrollBar()->value();
    const int vScroll = verticalScrollBar()->value();
    Shown = server;
    Rebuilding = true;
    struct TDone {
        bool& Flag;
        ~TDone() { Flag = false; }
    } done{Rebuilding};
    ProcessModel.DatabaseName = [server](std::int32_t id) {
        if (!server)
            return std::string();
        const auto it = server->DatabaseNames.find(id);
        return it == server->DatabaseNames.end() ? std::string() : it->second;
    };
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
        ProcessModel.Blocking = nullptr;
        if (!server || server->State == 2)
            return;
        ProcessModel.Blocking = &server->Analysis();
        const TProcessList& list = server->ProcessList;
        for (std::int32_t i = 0; i < list.Count(); ++i) {
            const TProcessItem& item = *list.Item(i);
            if (!onlyBlocks || item.BlockRole != 0)
                AddProcessNode(item, -1, server->SelectedSpid, remembered);
        }
    }
    FitSpidColumn();
    if (server)
        RestoreExpanded(*server);
    if (sameServer)
        verticalScrollBar()->setValue(vScroll);
    horizontalScrollBar()->setValue(hScroll);
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
    // Bringing the focused row into view must not move the columns the user scrolled to.
    horizontalScrollBar()->setValue(hScroll);
}

void TProcessView::FitSpidColumn() {
    if (UserSizedSpid)
        return;
    // Indentation of the deepest row, the expand button, the icon, the widest SPID, margins.
    int widest = 0;
    const QFontMetrics normal(font());
    QFont boldFont = font();
    boldFont.setBold(true);
    const QFontMetrics bold(boldFont);
    for (int row = 0; row < ProcessModel.RowCount(); ++row)
        widest = std::max(widest, ProcessModel.Spid(row));
    const QString sample = QString::number(widest).fill(u'8');
    const int text = std::max(normal.horizontalAdvance(sample), bold.horizontalAdvance(sample));
    const int needed =
        indentation() * (ProcessModel.MaxDepth() + 1) + iconSize().width() + text + 24;
    const int width = std::max(needed, SpidBaseWidth);
    if (header()->sectionSize(TProcessModel::SpidTLC) != width)
        header()->resizeSection(TProcessModel::SpidTLC, width);
}

std::vector<std::int32_t> TProcessView::SpidPath(int row) const {
    std::vector<std::int32_t> path;
    for (int r = row; r >= 0; r = ProcessModel.Parent(r))
        path.push_back(ProcessModel.Spid(r));
    std::reverse(path.begin(), path.end());
    return path;
}

void TProcessView::RememberExpanded(const QModelIndex& index, bool expanded) {
    if (Rebuilding || !Shown || !index.isValid())
        return;
    const std::vector<std::int32_t> path = SpidPath(TProcessModel::RowOf(index));
    if (expanded)
        Shown->ExpandedPaths.insert(path);
    else
        Shown->ExpandedPaths.erase(path);
}

void TProcessView::RestoreExpanded(TServerData& server) {
    if (server.ExpandedPaths.empty())
        return;
    // Paths whose rows are gone are forgotten: a chain that ends and forms again later is a
    // new chain and starts collapsed.
    std::set<std::vector<std::int32_t>> found;
    for (int row = 0; row < ProcessModel.RowCount(); ++row) {
        if (ProcessModel.ChildCount(row) == 0)
            continue;
        std::vector<std::int32_t> path = SpidPath(row);
        if (server.ExpandedPaths.count(path)) {
            expand(ProcessModel.IndexOfRow(row));
            found.insert(std::move(path));
        }
    }
    server.ExpandedPaths = std::move(found);
}

QString TProcessView::SelectedRowsText() const {
    QModelIndexList selected = selectionModel()->selectedRows();
    if (selected.isEmpty())
        return QString();
    // Display order: top to bottom as the rows stand on screen.
    std::sort(selected.begin(), selected.end(), [this](const QModelIndex& a, const QModelIndex& b) {
        return visualRect(a).top() < visualRect(b).top() ||
               (visualRect(a).top() == visualRect(b).top() &&
                TProcessModel::RowOf(a) < TProcessModel::RowOf(b));
    });
    const std::vector<int> columns = ShownColumns(*header());
    QStringList captions;
    std::vector<bool> numbers;
    for (int c : columns) {
        captions << QString::fromUtf8(TProcessModel::ColumnCaptions[c]);
        numbers.push_back(TProcessModel::IsNumberColumn(c));
    }
    std::vector<QStringList> rows;
    for (const QModelIndex& index : selected) {
        QStringList& cells = rows.emplace_back();
        for (int c : columns)
            cells << ProcessModel.Text(TProcessModel::RowOf(index), c);
    }
    return TabSeparated(captions, rows, numbers);
}

bool TProcessView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == header()->viewport()) {
        if (event->type() == QEvent::MouseButtonPress)
            HeaderPressed = true;
        else if (event->type() == QEvent::MouseButtonRelease)
            HeaderPressed = false;
    }
    return QTreeView::eventFilter(watched, event);
}

void TProcessView::keyPressEvent(QKeyEvent* event) {
    if (!CopyOnCopyKey(event, [this] { return SelectedRowsText(); }))
        QTreeView::keyPressEvent(event);
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
