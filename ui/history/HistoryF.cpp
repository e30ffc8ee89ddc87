#include "HistoryF.h"

#include "CountText.h"
#include "DeadlocksPane.h"
#include "DisplayText.h"
#include "EpisodeCsv.h"
#include "ErrorBox.h"
#include "HistoryKillsView.h"
#include "SpinEdit.h"

#include <QComboBox>
#include <QDateTimeEdit>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSplitter>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <map>
#include <optional>

namespace {

QString Q(const std::string& text) {
    return DisplayText(text);
}

QString TimeText(std::int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString EndText(const TEpisode& e) {
    switch (e.EndKind) {
    case TEpisodeEnd::Open:
        return QStringLiteral("going on");
    case TEpisodeEnd::Ended:
        return TimeText(e.End);
    case TEpisodeEnd::Unknown:
        return QStringLiteral("unknown (last seen %1)").arg(TimeText(e.End));
    }
    return {};
}

QTreeWidget* MakeTree(const QStringList& columns, QWidget* parent) {
    auto* tree = new QTreeWidget(parent);
    tree->setHeaderLabels(columns);
    tree->setUniformRowHeights(true);
    tree->setAlternatingRowColors(true);
    tree->header()->setStretchLastSection(true);
    return tree;
}

} // namespace

QString THistoryF::DurationText(std::int64_t ms) {
    if (ms < 60'000)
        return QStringLiteral("%1 s").arg(static_cast<double>(ms) / 1000.0, 0, 'f', 1);
    const std::int64_t seconds = ms / 1000;
    if (seconds < 3600)
        return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60, 2, 10, QChar('0'));
    return QStringLiteral("%1 h %2 min")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QChar('0'));
}

THistoryF::THistoryF(std::string fileName, const QStringList& servers, QWidget* parent)
    : QDialog(parent), FileName(std::move(fileName)) {
    setObjectName(QStringLiteral("HistoryF"));
    setWindowTitle(QStringLiteral("Blocking history"));
    setWindowFlags(Qt::Window);
    resize(1000, 640);

    ServerCB = new QComboBox(this);
    ServerCB->addItem(QStringLiteral("All servers"));
    QStringList names = servers;
    try {
        THistoryStore store(FileName, THistoryStore::TMode::Read);
        for (const std::string& name : store.Servers())
            names << Q(name);
    } catch (const THistoryError&) {
        // Nothing recorded yet: the registered servers are offered.
    }
    names.removeDuplicates();
    names.sort(Qt::CaseInsensitive);
    ServerCB->addItems(names);
    const QDateTime now = QDateTime::currentDateTime();
    FromDTE = new QDateTimeEdit(now.addDays(-1), this);
    ToDTE = new QDateTimeEdit(QDateTime(now.date(), QTime(23, 59, 59)), this);
    for (QDateTimeEdit* edit : {FromDTE, ToDTE}) {
        edit->setCalendarPopup(true);
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm"));
    }
    MinDurationSE = new TSpinEdit(0, 86400, this);
    ShowB = new QPushButton(QStringLiteral("Show"), this);
    ShowB->setDefault(true);
    ExportB = new QPushButton(QStringLiteral("Export..."), this);

    auto* filters = new QHBoxLayout;
    const auto label = [&](const char* text, QWidget* buddy) {
        auto* l = new QLabel(QString::fromUtf8(text), this);
        l->setBuddy(buddy);
        filters->addWidget(l);
        filters->addWidget(buddy);
    };
    label("&Server", ServerCB);
    label("&From", FromDTE);
    label("&To", ToDTE);
    label("Lasting at least (&sec)", MinDurationSE);
    filters->addWidget(ShowB);
    filters->addStretch(1);
    filters->addWidget(ExportB);

    EpisodesTV = MakeTree(
        {"Server", "Start", "Duration", "Peak wait", "Blocked", "Login", "Host", "Program", "End"},
        this);
    EpisodesTV->setRootIsDecorated(false);
    SessionsTV = MakeTree({"SPID", "Login", "Host", "Program", "Database", "Wait type",
                           "Wait resource", "Longest wait", "Status"},
                          this);
    StatementE = new QPlainTextEdit(this);
    StatementE->setReadOnly(true);
    StatementE->setPlaceholderText(QStringLiteral("The head blocker's last statement"));
    StatusL = new QLabel(this);
    StatusL->setTextFormat(Qt::PlainText);

    auto* details = new QSplitter(Qt::Horizontal);
    details->addWidget(SessionsTV);
    details->addWidget(StatementE);
    details->setStretchFactor(0, 3);
    details->setStretchFactor(1, 2);
    auto* split = new QSplitter(Qt::Vertical);
    split->addWidget(EpisodesTV);
    split->addWidget(details);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);

    auto* episodes = new QWidget;
    auto* episodesLayout = new QVBoxLayout(episodes);
    episodesLayout->setContentsMargins(0, 0, 0, 0);
    episodesLayout->addWidget(split, 1);
    episodesLayout->addWidget(StatusL);
    DeadlocksP = new TDeadlocksPane(FileName);
    KillsV = new THistoryKillsView;
    PagesTC = new QTabWidget(this);
    PagesTC->addTab(episodes, QStringLiteral("&Blocking episodes"));
    PagesTC->addTab(DeadlocksP, QStringLiteral("&Deadlocks"));
    PagesTC->addTab(KillsV, QStringLiteral("&Kills"));

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(PagesTC, 1);

    connect(ShowB, &QPushButton::clicked, this, [this] { GuardedCall([this] { ShowB_Click(); }); });
    connect(ExportB, &QPushButton::clicked, this,
            [this] { GuardedCall([this] { ExportB_Click(); }); });
    connect(EpisodesTV, &QTreeWidget::currentItemChanged, this,
            [this] { GuardedCall([this] { EpisodeSelected(); }); });
    FollowTimer = new QTimer(this);
    FollowTimer->setSingleShot(true);
    FollowTimer->setInterval(500);
    connect(FollowTimer, &QTimer::timeout, this, [this] {
        GuardedCall([this] {
            ReadEpisodes(true);
            DeadlocksP->Follow(Filter(TDeadlocksPane::ShownDeadlocks));
        });
    });
    ShowB_Click();
}

THistoryFilter THistoryF::Filter(int limit) const {
    THistoryFilter filter;
    if (ServerCB->currentIndex() > 0)
        filter.Server = ServerCB->currentText().toStdString();
    filter.From = FromDTE->dateTime().toMSecsSinceEpoch();
    filter.To = ToDTE->dateTime().toMSecsSinceEpoch();
    filter.MinDuration = static_cast<std::int64_t>(MinDurationSE->TakenValue()) * 1000;
    filter.Limit = limit;
    return filter;
}

void THistoryF::ShowB_Click() {
    KillsV->Show(FileName, Filter(THistoryKillsView::ShownKills));
    DeadlocksP->Show(Filter(TDeadlocksPane::ShownDeadlocks));
    FollowTimer->stop();
    ReadEpisodes(false);
}

void THistoryF::FollowRecorder() {
    if (!FollowTimer->isActive())
        FollowTimer->start();
}

namespace {

// What the episode list and the details show of an episode changed.
bool ShownDifferently(const TStoredEpisode& a, const TStoredEpisode& b) {
    const TEpisode& x = a.Episode;
    const TEpisode& y = b.Episode;
    return x.End != y.End || x.EndKind != y.EndKind || x.PeakWait != y.PeakWait ||
           x.PeakBlocked != y.PeakBlocked || x.HeadStatus != y.HeadStatus ||
           x.HeadOpenTran != y.HeadOpenTran || a.Statement != b.Statement;
}

} // namespace

// keepView: a re-read that follows the recorder. The selected episode stays selected (its
// details are read again only when it changed), the episode at the top of the view stays
// there (a view at the very top stays at the top, so new episodes show), column widths stay.
void THistoryF::ReadEpisodes(bool keepView) {
    std::optional<TStoredEpisode> selected;
    std::optional<std::uint64_t> topId;
    bool atTop = true;
    int across = 0;
    if (keepView) {
        const int index = EpisodesTV->indexOfTopLevelItem(EpisodesTV->currentItem());
        if (index >= 0 && static_cast<std::size_t>(index) < Episodes.size())
            selected = Episodes[static_cast<std::size_t>(index)];
        atTop = EpisodesTV->verticalScrollBar()->value() == 0;
        const int top = EpisodesTV->indexOfTopLevelItem(EpisodesTV->itemAt(0, 0));
        if (top >= 0 && static_cast<std::size_t>(top) < Episodes.size())
            topId = Episodes[static_cast<std::size_t>(top)].Episode.Id;
        across = EpisodesTV->horizontalScrollBar()->value();
    }
    std::vector<TStoredEpisode> read;
    try {
        THistoryStore store(FileName, THistoryStore::TMode::Read);
        read = store.Episodes(Filter(ShownEpisodes));
    } catch (const THistoryError& e) {
        StatusL->setText(Q(e.what()));
        if (keepView)
            return; // what is shown stays; the next write tries again
        EpisodesTV->clear();
        SessionsTV->clear();
        StatementE->clear();
        Episodes.clear();
        return;
    }
    // The rows are replaced without a selection change on the way.
    const QSignalBlocker quiet(EpisodesTV);
    EpisodesTV->clear();
    Episodes = std::move(read);
    QList<QTreeWidgetItem*> rows;
    for (const TStoredEpisode& stored : Episodes) {
        const TEpisode& e = stored.Episode;
        auto* row = new QTreeWidgetItem;
        row->setText(ServerC, Q(e.Server));
        row->setText(StartC, TimeText(e.Start));
        row->setText(DurationC, DurationText(e.Duration()));
        row->setText(PeakWaitC, DurationText(e.PeakWait));
        row->setText(BlockedC, QString::number(e.PeakBlocked));
        row->setText(LoginC, Q(e.Head.LoginName));
        row->setText(HostC, Q(e.Head.HostName));
        row->setText(ProgramC, Q(e.Head.ProgramName));
        row->setText(EndC, EndText(e));
        for (int c : {DurationC, PeakWaitC, BlockedC})
            row->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
        rows << row;
    }
    EpisodesTV->addTopLevelItems(rows);
    if (!keepView)
        for (int c = 0; c < EndC; ++c)
            EpisodesTV->resizeColumnToContents(c);
    StatusL->setText(
        Episodes.size() == static_cast<std::size_t>(ShownEpisodes)
            ? QStringLiteral("The newest %1 episodes are shown.").arg(ShownEpisodes)
            : CountText(static_cast<long long>(Episodes.size()), "episode.", "episodes."));

    const auto rowOf = [&](std::uint64_t id) -> QTreeWidgetItem* {
        for (std::size_t i = 0; i < Episodes.size(); ++i)
            if (Episodes[i].Episode.Id == id)
                return rows[static_cast<int>(i)];
        return nullptr;
    };
    if (!keepView || !selected) {
        if (!rows.isEmpty())
            EpisodesTV->setCurrentItem(rows.front());
        EpisodeSelected();
        return;
    }
    QTreeWidgetItem* current = rowOf(selected->Episode.Id);
    if (current != nullptr)
        EpisodesTV->setCurrentItem(current);
    if (atTop)
        EpisodesTV->scrollToTop();
    else if (QTreeWidgetItem* top = topId ? rowOf(*topId) : nullptr)
        EpisodesTV->scrollToItem(top, QAbstractItemView::PositionAtTop);
    EpisodesTV->horizontalScrollBar()->setValue(across);
    const int index = EpisodesTV->indexOfTopLevelItem(current);
    if (current == nullptr ||
        ShownDifferently(*selected, Episodes[static_cast<std::size_t>(index)]))
        EpisodeSelected();
}

void THistoryF::EpisodeSelected() {
    SessionsTV->clear();
    StatementE->clear();
    const int index = EpisodesTV->indexOfTopLevelItem(EpisodesTV->currentItem());
    if (index < 0 || static_cast<std::size_t>(index) >= Episodes.size())
        return;
    const TStoredEpisode& stored = Episodes[static_cast<std::size_t>(index)];
    const TEpisode& e = stored.Episode;
    std::vector<TEpisodeSession> sessions;
    try {
        THistoryStore store(FileName, THistoryStore::TMode::Read);
        sessions = store.Sessions(static_cast<std::int64_t>(e.Id));
    } catch (const THistoryError& error) {
        StatusL->setText(Q(error.what()));
    }

    auto* head = new QTreeWidgetItem;
    head->setText(SpidC, QString::number(e.Head.Spid));
    head->setText(SLoginC, Q(e.Head.LoginName));
    head->setText(SHostC, Q(e.Head.HostName));
    head->setText(SProgramC, Q(e.Head.ProgramName));
    head->setText(SDatabaseC, Q(e.HeadDBName));
    head->setText(
        StatusC,
        QStringLiteral("%1, %2 open transaction(s)").arg(Q(e.HeadStatus)).arg(e.HeadOpenTran));
    SessionsTV->addTopLevelItem(head);
    // Each session under the first session with the SPID that blocked it.
    std::map<std::int32_t, QTreeWidgetItem*> bySpid{{e.Head.Spid, head}};
    std::vector<QTreeWidgetItem*> items;
    for (const TEpisodeSession& s : sessions) {
        auto* item = new QTreeWidgetItem;
        item->setText(SpidC, QString::number(s.Key.Spid));
        item->setText(SLoginC, Q(s.Key.LoginName));
        item->setText(SHostC, Q(s.Key.HostName));
        item->setText(SProgramC, Q(s.Key.ProgramName));
        item->setText(SDatabaseC, Q(s.DBName));
        item->setText(WaitTypeC, Q(s.LastWaitType));
        item->setText(WaitResourceC, Q(s.WaitResource));
        item->setText(LongestWaitC, DurationText(s.LongestWait));
        item->setTextAlignment(LongestWaitC, Qt::AlignRight | Qt::AlignVCenter);
        bySpid.try_emplace(s.Key.Spid, item);
        items.push_back(item);
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        QTreeWidgetItem* parent = nullptr;
        if (const auto found = bySpid.find(sessions[i].BlockedBy); found != bySpid.end())
            parent = found->second;
        // Never under itself or its own subtree (the blocker may have been blocked in turn).
        for (QTreeWidgetItem* up = parent; up != nullptr; up = up->parent())
            if (up == items[i])
                parent = nullptr;
        if (parent != nullptr && parent != items[i])
            parent->addChild(items[i]);
        else
            SessionsTV->addTopLevelItem(items[i]);
    }
    SessionsTV->expandAll();
    for (int c = 0; c < StatusC; ++c)
        SessionsTV->resizeColumnToContents(c);
    StatementE->setPlainText(
        stored.Statement ? Q(*stored.Statement)
                         : QStringLiteral("(not read: the login is not a member of sysadmin, or "
                                          "the server did not answer)"));
}

void THistoryF::ExportB_Click() {
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Export blocking history"), QStringLiteral("blocking-history.csv"),
        QStringLiteral("CSV files (*.csv);;All files (*)"));
    if (!path.isEmpty())
        ExportTo(path);
}

void THistoryF::ExportTo(const QString& path) {
    THistoryStore store(FileName, THistoryStore::TMode::Read);
    const std::vector<TStoredEpisode> episodes =
        store.Episodes(Filter(std::numeric_limits<int>::max()));
    const std::string csv =
        EpisodesCsv(episodes, [&](std::int64_t id) { return store.Sessions(id); });
    // Written whole and renamed into place: a failed export leaves no half file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(csv.data(), static_cast<qint64>(csv.size())) !=
            static_cast<qint64>(csv.size()) ||
        !file.commit())
        throw THistoryError("Cannot write \"" + path.toStdString() +
                            "\": " + file.errorString().toStdString());
    StatusL->setText(CountText(static_cast<long long>(episodes.size()), "episode", "episodes") +
                     QStringLiteral(" exported to %1.").arg(path));
}

THistoryF* ShowHistory(const std::string& fileName, const QStringList& servers, QWidget* parent) {
    static QPointer<THistoryF> window;
    if (!window) {
        window = new THistoryF(fileName, servers, parent);
        window->setAttribute(Qt::WA_DeleteOnClose);
    }
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}
