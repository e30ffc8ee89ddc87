#include "BlockingBoard.h"

#include "BlockingAnalysis.h"
#include "DisplayText.h"
#include "ProcessList.h"
#include "ServerData.h"
#include "WindowStateStore.h"

#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace {

constexpr int kServerRole = Qt::UserRole;
constexpr int kSpidRole = Qt::UserRole + 1;

QString Seconds(std::int64_t ms) {
    return QString::number(static_cast<double>(ms) / 1000.0, 'f', 1) + " s";
}

QString Cell(const std::string& text, int maxChars) {
    return DisplayText(text).simplified().left(maxChars);
}

struct TRow {
    TServerData* Server;
    const TBlockingChain* Chain;
};

} // namespace

TBlockingBoard::TBlockingBoard(QWidget* parent)
    : QDockWidget(QStringLiteral("Blocking now"), parent) {
    setObjectName(QStringLiteral("BlockingBoard"));
    auto* body = new QWidget;
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(2, 2, 2, 2);
    SummaryL = new QLabel;
    SummaryL->setObjectName(QStringLiteral("BoardSummaryL"));
    SummaryL->setTextFormat(Qt::PlainText);
    List = new QTreeWidget;
    List->setObjectName(QStringLiteral("BoardTL"));
    List->setRootIsDecorated(false);
    List->setUniformRowHeights(true);
    List->setSelectionMode(QAbstractItemView::SingleSelection);
    List->setEditTriggers(QAbstractItemView::NoEditTriggers);
    List->setTextElideMode(Qt::ElideRight);
    List->setHeaderLabels({"Server", "Head SPID", "Summed wait", "Longest wait", "In all", "Blocks",
                           "Since", "Login", "Host", "Program", "Status", "Open tran",
                           "Statement"});
    List->headerItem()->setToolTip(DirectC, "Sessions it blocks directly");
    List->headerItem()->setToolTip(InAllC, "Sessions in its chain, all levels");
    List->headerItem()->setToolTip(SummedC, "The waits of its chain, added up: how much it hurts");
    List->header()->setStretchLastSection(false);
    List->setColumnWidth(ServerC, 110);
    List->setColumnWidth(StatementC, 200);
    for (int c : {HeadC, OpenTranC, DirectC, InAllC})
        List->setColumnWidth(c, 64);
    layout->addWidget(SummaryL);
    layout->addWidget(List, 1);
    setWidget(body);
    List->viewport()->setMouseTracking(true);
    List->viewport()->installEventFilter(this);
    List->installEventFilter(this);
    connect(List, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) { Choose(item); });
    Coalesce.setSingleShot(true);
    connect(&Coalesce, &QTimer::timeout, this, [this] { Update(); });
    connect(this, &QDockWidget::visibilityChanged, this, [this](bool visible) {
        if (visible)
            Update();
    });
}

void TBlockingBoard::ServerChanged(const TServerData&) {
    LastRefresh = QDateTime::currentDateTime();
    if (!isVisible())
        return; // a hidden board costs nothing; it is rebuilt when shown
    if (!Coalesce.isActive())
        Coalesce.start(CoalesceMs);
}

void TBlockingBoard::Forget(const TServerData& server) {
    for (auto it = Heads.begin(); it != Heads.end();)
        it = it->first.Server == &server ? Heads.erase(it) : std::next(it);
    for (int i = 0; i < List->topLevelItemCount(); ++i)
        if (List->topLevelItem(i)->data(ServerC, kServerRole).value<void*>() == &server)
            List->topLevelItem(i)->setData(ServerC, kServerRole,
                                           QVariant::fromValue<void*>(nullptr));
    Update();
}

bool TBlockingBoard::Held() const {
    return List->viewport()->underMouse();
}

void TBlockingBoard::Update() {
    if (Held()) {
        Pending = true;
        return;
    }
    Pending = false;
    Rebuild();
}

void TBlockingBoard::Rebuild() {
    const std::vector<TServerData*> servers = Servers ? Servers() : std::vector<TServerData*>{};
    std::vector<TRow> rows;
    std::vector<TServerData*> blind;
    int seeing = 0;
    for (TServerData* s : servers) {
        if (!s->Enabled)
            continue;
        if (s->State == 2) {
            blind.push_back(s);
            continue;
        }
        ++seeing;
        for (const TBlockingChain& chain : s->Analysis().Heads())
            rows.push_back({s, &chain});
    }
    std::stable_sort(rows.begin(), rows.end(), [](const TRow& a, const TRow& b) {
        if (a.Chain->TotalWait != b.Chain->TotalWait)
            return a.Chain->TotalWait > b.Chain->TotalWait;
        return a.Chain->LongestWait > b.Chain->LongestWait;
    });

    for (auto& [key, head] : Heads)
        head.Seen = false;
    const QDateTime now = QDateTime::currentDateTime();
    const QColor dim = palette().color(QPalette::Disabled, QPalette::Text);
    const int current = List->indexOfTopLevelItem(List->currentItem());
    const auto chosen = current >= 0 ? RowHead(current) : std::pair<TServerData*, int>{};
    List->setUpdatesEnabled(false);
    List->clear();
    QList<QTreeWidgetItem*> items;
    QTreeWidgetItem* reselect = nullptr;
    for (const TRow& row : rows) {
        const TBlockingAnalysis& analysis = row.Server->Analysis();
        const TBlockingSession& head = analysis.Session(row.Chain->Session);
        TKnownHead& known = Heads[{row.Server, head.Spid}];
        if (!known.Since.isValid())
            known.Since = now;
        known.Seen = true;
        if (!known.Asked)
            ReadStatement(*row.Server, head.Spid);
        const TProcessItem* first = head.FirstRow;
        auto* item = new QTreeWidgetItem;
        item->setText(ServerC, DisplayText(row.Server->Info.Name));
        item->setData(ServerC, kServerRole, QVariant::fromValue<void*>(row.Server));
        item->setData(ServerC, kSpidRole, head.Spid);
        item->setText(HeadC, QString::number(head.Spid));
        if (first) {
            item->setText(LoginC, Cell(first->LoginName, 64));
            item->setText(HostC, Cell(first->HostName, 64));
            item->setText(ProgramC, Cell(first->ProgramName, 64));
            item->setText(StatusC, Cell(first->Status, 32));
            item->setText(OpenTranC, QString::number(first->OpenTran));
        }
        item->setText(StatementC, known.Statement.simplified().left(120));
        item->setToolTip(StatementC, known.Statement.left(2000));
        item->setText(DirectC, QString::number(head.Blocks));
        item->setText(InAllC, QString::number(row.Chain->Blocked));
        item->setText(LongestC, Seconds(row.Chain->LongestWait));
        item->setText(SummedC, Seconds(row.Chain->TotalWait));
        item->setText(SinceC, known.Since.toString(QStringLiteral("HH:mm:ss")));
        for (int c : {HeadC, OpenTranC, DirectC, InAllC, LongestC, SummedC})
            item->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
        if (row.Server->Muted())
            for (int c = 0; c < ColumnCount; ++c)
                item->setForeground(c, dim);
        if (chosen.first == row.Server && chosen.second == head.Spid)
            reselect = item;
        items << item;
    }
    for (TServerData* s : blind) {
        auto* item = new QTreeWidgetItem;
        item->setData(ServerC, kServerRole, QVariant::fromValue<void*>(s));
        item->setData(ServerC, kSpidRole, 0);
        const QString why = s->SeesOnlyOwnSession ? DisplayText(s->OwnSessionOnlyText())
                                                  : QStringLiteral("error, see the error log");
        // One line across the row: the reason is what matters here.
        item->setText(ServerC, DisplayText(s->Info.Name) + " · not seeing: " + why);
        item->setToolTip(ServerC, item->text(ServerC));
        for (int c = 0; c < ColumnCount; ++c)
            item->setForeground(c, s->Muted() ? dim : QColor(176, 0, 0));
        items << item;
    }
    List->addTopLevelItems(items);
    for (QTreeWidgetItem* item : items)
        if (item->data(ServerC, kSpidRole).toInt() == 0)
            item->setFirstColumnSpanned(true);
    if (reselect)
        List->setCurrentItem(reselect);
    List->setUpdatesEnabled(true);
    // Heads that ended are forgotten: a SPID that heads a chain again later starts anew.
    for (auto it = Heads.begin(); it != Heads.end();)
        it = it->second.Seen ? std::next(it) : Heads.erase(it);

    const QString when = LastRefresh.isValid()
                             ? " · last refresh " + LastRefresh.toString(QStringLiteral("HH:mm:ss"))
                             : QString();
    QString summary;
    if (rows.empty())
        summary =
            "No blocking on " + QString::number(seeing) + (seeing == 1 ? " server" : " servers");
    else
        summary = QString::number(rows.size()) + (rows.size() == 1 ? " chain" : " chains");
    if (!blind.empty())
        summary += " · not seeing " + QString::number(blind.size());
    SummaryL->setText(summary + when);
}

void TBlockingBoard::ReadStatement(TServerData& server, int spid) {
    TKnownHead& known = Heads[{&server, spid}];
    known.Asked = true;
    if (!(server.IsSysAdmin || server.CanViewServerState))
        return;
    QPointer<TBlockingBoard> self(this);
    const TServerData* monitor = &server;
    try {
        server.RequestInputBuffer(spid, [self, monitor, spid](const std::string* text) {
            if (!self || !text)
                return;
            if (auto it = self->Heads.find({monitor, spid}); it != self->Heads.end()) {
                it->second.Statement = DisplayText(*text);
                if (!self->Coalesce.isActive())
                    self->Coalesce.start(self->CoalesceMs);
            }
        });
    } catch (const std::exception&) {
        // The statement stays empty; the board shows the rest.
    }
}

int TBlockingBoard::RowCount() const {
    return List->topLevelItemCount();
}

std::pair<TServerData*, int> TBlockingBoard::RowHead(int row) const {
    const QTreeWidgetItem* item = List->topLevelItem(row);
    if (!item)
        return {nullptr, 0};
    return {static_cast<TServerData*>(item->data(ServerC, kServerRole).value<void*>()),
            item->data(ServerC, kSpidRole).toInt()};
}

void TBlockingBoard::Choose(QTreeWidgetItem* item) {
    if (!item)
        return;
    auto* server = static_cast<TServerData*>(item->data(ServerC, kServerRole).value<void*>());
    if (!server)
        return;
    const std::vector<TServerData*> servers = Servers ? Servers() : std::vector<TServerData*>{};
    if (std::find(servers.begin(), servers.end(), server) == servers.end())
        return;
    emit HeadChosen(server, item->data(ServerC, kSpidRole).toInt());
}

QString TBlockingBoard::RowsText() const {
    QStringList lines;
    QStringList header;
    for (int c = 0; c < ColumnCount; ++c)
        header << List->headerItem()->text(c);
    lines << header.join('\t');
    for (int r = 0; r < List->topLevelItemCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < ColumnCount; ++c)
            cells << List->topLevelItem(r)->text(c).replace('\t', ' ');
        lines << cells.join('\t');
    }
    return lines.join('\n') + '\n';
}

bool TBlockingBoard::eventFilter(QObject* watched, QEvent* event) {
    if (watched == List->viewport() && event->type() == QEvent::Leave && Pending)
        QTimer::singleShot(0, this, [this] {
            if (Pending)
                Update();
        });
    if (watched == List && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->matches(QKeySequence::Copy)) {
            QApplication::clipboard()->setText(RowsText());
            return true;
        }
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            Choose(List->currentItem());
            return true;
        }
    }
    return QDockWidget::eventFilter(watched, event);
}

void TBlockingBoard::RestoreState(const QString& key) {
    const TWindowStateStore store;
    const auto visible = store.ReadInteger(key, QStringLiteral("Visible"));
    const auto width = store.ReadInteger(key, QStringLiteral("Width"));
    const auto height = store.ReadInteger(key, QStringLiteral("Height"));
    if (visible)
        setVisible(*visible != 0);
    auto* window = qobject_cast<QMainWindow*>(parentWidget());
    if (!window)
        return;
    if (!width && !height) {
        window->resizeDocks({this}, {520}, Qt::Horizontal);
        return;
    }
    // A hand-edited store may hold anything.
    const auto fit = [](std::int64_t v) {
        return static_cast<int>(std::clamp<std::int64_t>(v, 80, 4000));
    };
    const bool sideways = window->dockWidgetArea(this) == Qt::LeftDockWidgetArea ||
                          window->dockWidgetArea(this) == Qt::RightDockWidgetArea;
    if (sideways && width)
        window->resizeDocks({this}, {fit(*width)}, Qt::Horizontal);
    else if (!sideways && height)
        window->resizeDocks({this}, {fit(*height)}, Qt::Vertical);
}

void TBlockingBoard::SaveState(const QString& key) const {
    TWindowStateStore store;
    store.WriteInteger(key, QStringLiteral("Visible"), isHidden() ? 0 : 1);
    store.WriteInteger(key, QStringLiteral("Width"), width());
    store.WriteInteger(key, QStringLiteral("Height"), height());
    store.Flush();
}
