#include "CausesPane.h"

#include "CausesCsv.h"
#include "DisplayText.h"
#include "ErrorBox.h"
#include "HistoryF.h"

#include <QComboBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QString TimeText(std::int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString CauseText(const TCause& cause, TCauseKind kind) {
    if (!cause.Key)
        return kind == TCauseKind::Statement ? QStringLiteral("(statement not read)")
                                             : QStringLiteral("(unknown)");
    if (cause.Key->empty())
        return QStringLiteral("(none)");
    return DisplayText(*cause.Key);
}

QTreeWidget* MakeList(const QStringList& columns, QWidget* parent) {
    auto* tree = new QTreeWidget(parent);
    tree->setHeaderLabels(columns);
    tree->setRootIsDecorated(false);
    tree->setUniformRowHeights(true);
    tree->setAlternatingRowColors(true);
    tree->header()->setStretchLastSection(true);
    return tree;
}

} // namespace

TCausesPane::TCausesPane(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("CausesPane"));
    GroupByCB = new QComboBox(this);
    for (TCauseKind kind : {TCauseKind::Login, TCauseKind::Program, TCauseKind::Host,
                            TCauseKind::Statement, TCauseKind::Object})
        GroupByCB->addItem(QString::fromLatin1(CauseKindName(kind)), static_cast<int>(kind));
    ExportB = new QPushButton(QStringLiteral("Export causes..."), this);
    CausesTV =
        MakeList({"Cause", "Episodes", "Total blocked wait", "Longest episode", "Last seen"}, this);
    CausesTV->setObjectName(QStringLiteral("CausesTV"));
    EpisodesTV = MakeList(
        {"Server", "Start", "Duration", "Blocked wait", "Peak blocked", "Head SPID"}, this);
    StatusL = new QLabel(this);
    StatusL->setTextFormat(Qt::PlainText);

    auto* top = new QHBoxLayout;
    auto* label = new QLabel(QStringLiteral("&Group by"), this);
    label->setBuddy(GroupByCB);
    top->addWidget(label);
    top->addWidget(GroupByCB);
    top->addStretch(1);
    top->addWidget(ExportB);
    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(CausesTV);
    split->addWidget(EpisodesTV);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(top);
    layout->addWidget(split, 1);
    layout->addWidget(StatusL);

    connect(GroupByCB, &QComboBox::currentIndexChanged, this,
            [this] { GuardedCall([this] { Regroup(); }); });
    connect(CausesTV, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        GuardedCall([&] { ListEpisodes(CausesTV->indexOfTopLevelItem(item)); });
    });
    connect(EpisodesTV, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        const int row = EpisodesTV->indexOfTopLevelItem(item);
        if (row >= 0 && static_cast<std::size_t>(row) < Listed.size())
            emit EpisodeChosen(
                static_cast<qint64>(Listed[static_cast<std::size_t>(row)].Episode.Id));
    });
    connect(ExportB, &QPushButton::clicked, this, [this] {
        GuardedCall([this] {
            const QString path = QFileDialog::getSaveFileName(
                this, QStringLiteral("Export causes"), QStringLiteral("blocking-causes.csv"),
                QStringLiteral("CSV files (*.csv);;All files (*)"));
            if (!path.isEmpty())
                ExportTo(path);
        });
    });
}

TCauseKind TCausesPane::Kind() const {
    return static_cast<TCauseKind>(GroupByCB->currentData().toInt());
}

void TCausesPane::Show(const std::string& fileName, const THistoryFilter& filter) {
    FileName = fileName;
    Filter = filter;
    Regroup();
}

void TCausesPane::Regroup() {
    CausesTV->clear();
    EpisodesTV->clear();
    Causes.clear();
    Listed.clear();
    if (FileName.empty())
        return;
    THistoryFilter filter = Filter;
    filter.Limit = ShownCauses;
    QElapsedTimer took;
    took.start();
    try {
        THistoryStore store(FileName, THistoryStore::TMode::Read);
        Causes = store.Causes(filter, Kind());
    } catch (const THistoryError& e) {
        StatusL->setText(DisplayText(std::string(e.what())));
        return;
    }
    if (filter.From > filter.To) {
        StatusL->setText(QStringLiteral("The range ends before it starts: no episodes."));
        return;
    }
    if (Causes.empty()) {
        StatusL->setText(QStringLiteral("No blocking episodes started in this range."));
        return;
    }
    QList<QTreeWidgetItem*> rows;
    for (const TCause& c : Causes) {
        auto* row = new QTreeWidgetItem;
        row->setText(CauseC, CauseText(c, Kind()));
        row->setToolTip(CauseC, row->text(CauseC).left(4000));
        row->setText(EpisodesC, QString::number(c.Episodes));
        row->setText(TotalWaitC, THistoryF::DurationText(c.TotalWait));
        row->setText(LongestC, THistoryF::DurationText(c.Longest));
        row->setText(LastSeenC, TimeText(c.LastSeen));
        for (int col : {EpisodesC, TotalWaitC, LongestC})
            row->setTextAlignment(col, Qt::AlignRight | Qt::AlignVCenter);
        rows << row;
    }
    CausesTV->addTopLevelItems(rows);
    CausesTV->setCurrentItem(rows.front());
    CausesTV->resizeColumnToContents(EpisodesC);
    CausesTV->resizeColumnToContents(CauseC);
    CausesTV->setColumnWidth(CauseC, std::min(CausesTV->columnWidth(CauseC), 480));
    StatusL->setText(QStringLiteral("%1 causes, grouped in %2 ms; double-click one for its "
                                    "episodes.")
                         .arg(Causes.size())
                         .arg(took.elapsed()));
}

void TCausesPane::ListEpisodes(int row) {
    EpisodesTV->clear();
    Listed.clear();
    if (row < 0 || static_cast<std::size_t>(row) >= Causes.size())
        return;
    THistoryFilter filter = Filter;
    filter.Limit = ShownEpisodes;
    try {
        THistoryStore store(FileName, THistoryStore::TMode::Read);
        Listed = store.CauseEpisodes(filter, Kind(), Causes[static_cast<std::size_t>(row)].Key);
    } catch (const THistoryError& e) {
        StatusL->setText(DisplayText(std::string(e.what())));
        return;
    }
    QList<QTreeWidgetItem*> rows;
    for (const TStoredEpisode& stored : Listed) {
        const TEpisode& e = stored.Episode;
        auto* item = new QTreeWidgetItem;
        item->setText(0, DisplayText(e.Server));
        item->setText(1, TimeText(e.Start));
        item->setText(2, THistoryF::DurationText(e.Duration()));
        item->setText(3, THistoryF::DurationText(e.TotalBlockedWait));
        item->setText(4, QString::number(e.PeakBlocked));
        item->setText(5, QString::number(e.Head.Spid));
        rows << item;
    }
    EpisodesTV->addTopLevelItems(rows);
    StatusL->setText(QStringLiteral("%1 episodes of \"%2\"%3; double-click one to open it.")
                         .arg(Listed.size())
                         .arg(CauseText(Causes[static_cast<std::size_t>(row)], Kind()).left(80))
                         .arg(Listed.size() == static_cast<std::size_t>(ShownEpisodes)
                                  ? QStringLiteral(" (the newest)")
                                  : QString()));
}

void TCausesPane::ExportTo(const QString& path) {
    const std::string csv = CausesCsv(Kind(), Causes);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(csv.data(), static_cast<qint64>(csv.size())) !=
            static_cast<qint64>(csv.size()) ||
        !file.commit())
        throw THistoryError("Cannot write \"" + path.toStdString() +
                            "\": " + file.errorString().toStdString());
    StatusL->setText(QStringLiteral("%1 causes exported to %2.").arg(Causes.size()).arg(path));
}
