#include "ProcessView.h"

#include "BlockingAnalysis.h"
#include "ProcessList.h"
#include "RowsAsText.h"
#include "ServerData.h"
#include "Settings.h"

#include <QApplication>
#include <QCursor>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPointer>
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
    // Moves without a button tell that the user is aiming.
    viewport()->setMouseTracking(true);
    viewport()->installEventFilter(this);
    HoldTimer.setInterval(250);
    connect(&HoldTimer, &QTimer::timeout, this, [this] { CheckHold(); });
    connect(this, &QTreeView::expanded, this,
            [this](const QModelIndex& index) { RememberExpanded(index, true); });
    connect(this, &QTreeView::collapsed, this,
            [this](const QModelIndex& index) { RememberExpanded(index, false); });
    connect(
        selectionModel(), &QItemSelectionModel::currentChanged, this,
        [this](const QModelIndex& current, const QModelIndex&) { ProcessesTLChangeNode(current); });
}

bool TProcessView::PointerOver() const {
    if (!isVisible() || window()->isMinimized())
        return false;
    return viewport()->rect().contains(viewport()->mapFromGlobal(QCursor::pos()));
}

bool TProcessView::Held() const {
    if (!isVisible())
        return false;
    // A menu or dialog acts on the focused row: it keeps its place until they close.
    if (QApplication::activePopupWidget() || QApplication::activeModalWidget())
        return true;
    if (!PointerOver())
        return false;
    if (ButtonDown)
        return true;
    return Clock() - LastActivity < std::chrono::milliseconds(CatchUpMs);
}

void TProcessView::CheckHold() {
    if (!PendingCatchUp) {
        HoldTimer.stop();
        return;
    }
    if (Rebuilding || Held())
        return;
    HoldTimer.stop();
    emit CatchUp();
}

void TProcessView::FillIn(TServerData& server, bool onlyBlocks) {
    Rebuilding = true;
    struct TDone {
        bool& Flag;
        ~TDone() { Flag = false; }
    } done{Rebuilding};
    ProcessModel.Blocking = &server.Analysis();
    ProcessModel.BeginRebuild(true);
    {
        struct TEnd {
            TProcessView* View;
            ~TEnd() {
                View->ProcessModel.EndRebuild(View->header()->sortIndicatorSection(),
                                              View->header()->sortIndicatorOrder());
            }
        } end{this};
        int unused = -1;
        const TProcessList& list = server.ProcessList;
        for (std::int32_t i = 0; i < list.Count(); ++i) {
            const TProcessItem& item = *list.Item(i);
            if (!onlyBlocks || item.BlockRole != 0)
                AddProcessNode(item, -1, 0, unused);
        }
    }
    PendingCatchUp = true;
    if (!HoldTimer.isActive())
        HoldTimer.start();
}

void TProcessView::ShowProcesses(TServerData* server, bool onlyBlocks) {
    // The shown server stopped answering: its last known tree stays, greyed and marked with
    // the time it was read, rather than an empty view that looks like nothing happens. A
    // login that lost VIEW SERVER STATE still answers; its rows were never all of them.
    if (server && server == Shown && server->State == 2 && !server->SeesOnlyOwnSession &&
        onlyBlocks == ShownOnlyBlocks && ProcessModel.RowCount() > 0) {
        PendingCatchUp = false;
        HoldTimer.stop();
        ProcessModel.SetStale(true);
        return;
    }
    // The same server's next snapshot while the user aims: the rows stay where they are.
    if (server && server == Shown && onlyBlocks == ShownOnlyBlocks && server->State != 2 &&
        ProcessModel.RowCount() > 0 && Held()) {
        FillIn(*server, onlyBlocks);
        return;
    }
    PendingCatchUp = false;
    HoldTimer.stop();
    ShownOnlyBlocks = onlyBlocks;
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
    FitSpidColumn(sameServer);
    if (server && OpenBlockingChains)
        ExpandChains();
    else if (server)
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

void TProcessView::FitSpidColumn(bool onlyWiden) {
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
    int width = std::max(needed, SpidBaseWidth);
    // A chain that comes and goes at every refresh must not make every column beside it jump:
    // for the same server the column only widens.
    if (onlyWiden)
        width = std::max(width, header()->sectionSize(TProcessModel::SpidTLC));
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

int TProcessView::FindPath(const std::vector<std::int32_t>& path) const {
    if (path.empty())
        return -1;
    for (int row = 0; row < ProcessModel.RowCount(); ++row)
        if (ProcessModel.Depth(row) + 1 == static_cast<int>(path.size()) &&
            ProcessModel.Spid(row) == path.back() && SpidPath(row) == path)
            return row;
    return -1;
}

void TProcessView::RememberExpanded(const QModelIndex& index, bool expanded) {
    if (Rebuilding || !Shown || !index.isValid())
        return;
    const std::vector<std::int32_t> path = SpidPath(TProcessModel::RowOf(index));
    const std::int32_t head = path.front();
    if (expanded) {
        Shown->ExpandedPaths.insert(path);
        if (!Shown->OpenedChains.count(head)) {
            Shown->OpenedChains[head] = {std::string(), true};
            ReadChainHead(*Shown, head);
        }
        return;
    }
    Shown->ExpandedPaths.erase(path);
    const auto& paths = Shown->ExpandedPaths;
    if (std::none_of(paths.begin(), paths.end(), [&](const auto& p) { return p.front() == head; }))
        Shown->OpenedChains.erase(head);
}

void TProcessView::ReadChainHead(TServerData& server, std::int32_t spid) {
    const QPointer<TProcessView> self(this);
    TServerData* monitor = &server;
    try {
        // Work the monitor abandons never answers, so the monitor is still there.
        server.RequestSessionIdentity(spid, [self, monitor, spid](const TSessionIdentity* id) {
            const auto it = monitor->OpenedChains.find(spid);
            if (it == monitor->OpenedChains.end())
                return;
            if (id && (it->second.LoginTime.empty() || it->second.LoginTime == id->LoginTime)) {
                it->second.LoginTime = id->LoginTime;
                return;
            }
            // Gone, or another session took over the SPID: its chains start closed.
            ForgetChain(*monitor, spid);
            if (self && self->Shown == monitor)
                self->CollapseChain(spid);
        });
    } catch (const std::exception&) {
        // Unknown login time: the chain is kept while the SPID is there.
    }
}

void TProcessView::ForgetChain(TServerData& server, std::int32_t spid) {
    server.OpenedChains.erase(spid);
    std::erase_if(server.ExpandedPaths, [&](const auto& p) { return p.front() == spid; });
}

void TProcessView::CollapseChain(std::int32_t spid) {
    Rebuilding = true;
    for (int row = 0; row < ProcessModel.RowCount(); ++row)
        if (ProcessModel.ChildCount(row) > 0 && SpidPath(row).front() == spid)
            collapse(ProcessModel.IndexOfRow(row));
    Rebuilding = false;
}

void TProcessView::ExpandChains() {
    for (int row = 0; row < ProcessModel.RowCount(); ++row)
        if (ProcessModel.ChildCount(row) > 0)
            expand(ProcessModel.IndexOfRow(row));
}

void TProcessView::RestoreExpanded(TServerData& server) {
    // A chain stays open while its head session is there, blocking or not: the next episode
    // of the same session opens as the user left it. A new episode has its head's login time
    // read again, in case another session took over the SPID in between.
    const TBlockingAnalysis& analysis = server.Analysis();
    for (auto it = server.OpenedChains.begin(); it != server.OpenedChains.end();) {
        const std::int32_t session = analysis.Find(it->first);
        if (session < 0) {
            const std::int32_t spid = it->first;
            ++it;
            ForgetChain(server, spid);
            continue;
        }
        const bool blocking = analysis.Session(session).Blocks > 0;
        const bool newEpisode = blocking && !it->second.Blocking;
        it->second.Blocking = blocking;
        if (newEpisode && !it->second.LoginTime.empty())
            ReadChainHead(server, it->first);
        ++it;
    }
    std::erase_if(server.ExpandedPaths,
                  [&](const auto& p) { return !server.OpenedChains.count(p.front()); });
    if (server.ExpandedPaths.empty())
        return;
    for (int row = 0; row < ProcessModel.RowCount(); ++row)
        if (ProcessModel.ChildCount(row) > 0 && server.ExpandedPaths.count(SpidPath(row)))
            expand(ProcessModel.IndexOfRow(row));
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
    if (watched == viewport()) {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            ButtonDown = true;
            LastActivity = Clock();
            break;
        case QEvent::MouseButtonRelease:
            ButtonDown = static_cast<QMouseEvent*>(event)->buttons() != Qt::NoButton;
            LastActivity = Clock();
            break;
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::Enter:
            LastActivity = Clock();
            break;
        case QEvent::Leave:
            if (PendingCatchUp)
                QTimer::singleShot(0, this, [this] { CheckHold(); });
            break;
        default:
            break;
        }
    }
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

void TProcessView::mousePressEvent(QMouseEvent* event) {
    const QModelIndex at = indexAt(event->position().toPoint());
    PressedPath = at.isValid() ? SpidPath(TProcessModel::RowOf(at)) : std::vector<std::int32_t>();
    QTreeView::mousePressEvent(event);
}

void TProcessView::mouseDoubleClickEvent(QMouseEvent* event) {
    const QModelIndex at = indexAt(event->position().toPoint());
    if (!PressedPath.empty() &&
        (!at.isValid() || SpidPath(TProcessModel::RowOf(at)) != PressedPath)) {
        // The rows moved between the two clicks: the double click is the first click's row's,
        // or nobody's when that row is gone.
        const int row = FindPath(PressedPath);
        if (row < 0)
            return;
        selectionModel()->setCurrentIndex(ProcessModel.IndexOfRow(row),
                                          QItemSelectionModel::ClearAndSelect |
                                              QItemSelectionModel::Rows);
        emit DoubleClicked();
        return;
    }
    // Focus the row under the mouse as a click would, then report the double click; rows are
    // expanded only by their buttons and the keyboard.
    QTreeView::mouseDoubleClickEvent(event);
    emit DoubleClicked();
}
