#include "DeadlocksPane.h"

#include "CountText.h"
#include "DeadlockGraph.h"
#include "DeadlockText.h"
#include "DeadlockZoom.h"
#include "DisplayText.h"
#include "ErrorBox.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace {

constexpr int MaxStatementColumn = 200;

QString TimeText(std::int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

QTreeWidget* MakeTree(const QStringList& columns, QWidget* parent) {
    auto* tree = new QTreeWidget(parent);
    tree->setHeaderLabels(columns);
    tree->setRootIsDecorated(false);
    tree->setUniformRowHeights(true);
    tree->setAlternatingRowColors(true);
    tree->header()->setStretchLastSection(true);
    return tree;
}

// The statement's first line that says something, for a column.
QString FirstLine(const std::string& statement) {
    const QString text = QString::fromStdString(statement);
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (!trimmed.isEmpty())
            return DisplayText(trimmed.left(MaxStatementColumn));
    }
    return {};
}

} // namespace

TDeadlocksPane::TDeadlocksPane(std::string fileName, QWidget* parent)
    : QWidget(parent), FileName(std::move(fileName)) {
    setObjectName(QStringLiteral("DeadlocksPane"));
    DeadlocksTV = MakeTree({"Server", "Time", "Victim", "Went on", "Objects"}, this);
    ProcessesTV = MakeTree({"SPID", "Role", "Login", "Host", "Program", "Database", "Lock mode",
                            "Wait resource", "Object", "Statement"},
                           this);
    StatementE = new QPlainTextEdit(this);
    StatementE->setReadOnly(true);
    StatementE->setPlaceholderText(QStringLiteral("The selected process's statement"));
    GraphW = new TDeadlockGraph;
    auto* scroll = ZoomW = new TDeadlockZoom(GraphW, this);
    SaveXdlB = new QPushButton(QStringLiteral("Save as .xdl..."), this);
    SaveXdlB->setEnabled(false);
    StatusL = new QLabel(this);
    StatusL->setTextFormat(Qt::PlainText);

    auto* processes = new QSplitter(Qt::Vertical);
    processes->addWidget(ProcessesTV);
    processes->addWidget(StatementE);
    auto* details = new QSplitter(Qt::Horizontal);
    details->addWidget(processes);
    details->addWidget(scroll);
    details->setStretchFactor(0, 3);
    details->setStretchFactor(1, 2);
    auto* split = new QSplitter(Qt::Vertical);
    split->addWidget(DeadlocksTV);
    split->addWidget(details);
    split->setStretchFactor(0, 2);
    split->setStretchFactor(1, 3);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(StatusL, 1);
    bottom->addWidget(SaveXdlB);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(split, 1);
    layout->addLayout(bottom);

    connect(DeadlocksTV, &QTreeWidget::currentItemChanged, this,
            [this] { GuardedCall([this] { DeadlockSelected(); }); });
    connect(ProcessesTV, &QTreeWidget::currentItemChanged, this,
            [this] { GuardedCall([this] { ProcessSelected(); }); });
    connect(SaveXdlB, &QPushButton::clicked, this,
            [this] { GuardedCall([this] { SaveXdlB_Click(); }); });
}

void TDeadlocksPane::Show(const THistoryFilter& filter) {
    List(filter, false);
}

void TDeadlocksPane::Follow(const THistoryFilter& filter) {
    List(filter, true);
}

void TDeadlocksPane::List(const THistoryFilter& filter, bool keepView) {
    THistoryFilter limited = filter;
    limited.Limit = std::min(filter.Limit, ShownDeadlocks);
    std::vector<TStoredDeadlock> read;
    try {
        THistoryStore store(FileName, THistoryStore::TMode::Read);
        read = store.Deadlocks(limited);
    } catch (const THistoryError& e) {
        if (!keepView) {
            DeadlocksTV->clear();
            Deadlocks.clear();
            DeadlockSelected();
        }
        StatusL->setText(DisplayText(std::string(e.what())));
        return;
    }
    std::optional<std::int64_t> selectedId;
    const int current = DeadlocksTV->indexOfTopLevelItem(DeadlocksTV->currentItem());
    if (current >= 0 && static_cast<std::size_t>(current) < Deadlocks.size())
        selectedId = Deadlocks[static_cast<std::size_t>(current)].Id;
    const bool atTop = DeadlocksTV->verticalScrollBar()->value() == 0;
    const auto sameIds = [&] {
        return std::equal(
            read.begin(), read.end(), Deadlocks.begin(), Deadlocks.end(),
            [](const TStoredDeadlock& a, const TStoredDeadlock& b) { return a.Id == b.Id; });
    };
    if (keepView && sameIds())
        return; // nothing new
    {
        // The selected deadlock keeps its details (and its drawing's zoom) while the list grows.
        const QSignalBlocker quiet(DeadlocksTV);
        DeadlocksTV->clear();
    }
    Deadlocks = std::move(read);
    if (!keepView || !selectedId)
        DeadlockSelected();
    QList<QTreeWidgetItem*> rows;
    for (const TStoredDeadlock& d : Deadlocks) {
        auto* row = new QTreeWidgetItem;
        row->setText(ServerC, DisplayText(d.Server));
        row->setText(TimeC, TimeText(d.Report.Time));
        const QStringList victims = DeadlockVictims(d.Report);
        row->setText(VictimC, victims.isEmpty() ? QStringLiteral("(none named)")
                                                : victims.join(QStringLiteral(", ")));
        row->setText(SurvivorsC, DeadlockSurvivors(d.Report).join(QStringLiteral(", ")));
        row->setText(ObjectsC, DeadlockObjectsText(d.Report));
        rows << row;
    }
    DeadlocksTV->addTopLevelItems(rows);
    if (!keepView)
        for (int c = 0; c < ObjectsC; ++c)
            DeadlocksTV->resizeColumnToContents(c);
    StatusL->setText(
        Deadlocks.size() == static_cast<std::size_t>(ShownDeadlocks)
            ? QStringLiteral("The newest %1 deadlocks are shown.").arg(ShownDeadlocks)
            : CountText(static_cast<long long>(Deadlocks.size()), "deadlock.", "deadlocks."));
    if (keepView && selectedId) {
        const auto kept =
            std::find_if(Deadlocks.begin(), Deadlocks.end(),
                         [&](const TStoredDeadlock& d) { return d.Id == *selectedId; });
        if (kept != Deadlocks.end()) {
            const QSignalBlocker quiet(DeadlocksTV);
            DeadlocksTV->setCurrentItem(rows.value(static_cast<int>(kept - Deadlocks.begin())));
        } else if (!rows.isEmpty()) {
            DeadlocksTV->setCurrentItem(rows.front());
        } else {
            DeadlockSelected();
        }
        if (atTop)
            DeadlocksTV->scrollToTop();
        return;
    }
    if (!rows.isEmpty())
        DeadlocksTV->setCurrentItem(rows.front());
}

void TDeadlocksPane::DeadlockSelected() {
    ProcessesTV->clear();
    StatementE->clear();
    Selected.reset();
    GraphW->SetReport(nullptr);
    SaveXdlB->setEnabled(false);
    const int index = DeadlocksTV->indexOfTopLevelItem(DeadlocksTV->currentItem());
    if (index < 0 || static_cast<std::size_t>(index) >= Deadlocks.size())
        return;
    try {
        THistoryStore store(FileName, THistoryStore::TMode::Read);
        Selected = store.Deadlock(Deadlocks[static_cast<std::size_t>(index)].Id);
    } catch (const THistoryError& e) {
        StatusL->setText(DisplayText(std::string(e.what())));
        return;
    }
    if (!Selected) {
        StatusL->setText(QStringLiteral("This deadlock is no longer in the history."));
        return;
    }
    const TDeadlockReport& report = Selected->Report;
    QList<QTreeWidgetItem*> rows;
    for (const TDeadlockProcess& p : report.Processes) {
        auto* row = new QTreeWidgetItem;
        row->setText(SpidC, QString::number(p.Spid));
        row->setTextAlignment(SpidC, Qt::AlignRight | Qt::AlignVCenter);
        row->setText(RoleC, p.Victim ? QStringLiteral("victim") : QStringLiteral("went on"));
        row->setText(LoginC, DisplayText(p.LoginName));
        row->setText(HostC, DisplayText(p.HostName));
        row->setText(ProgramC, DisplayText(p.ProgramName));
        row->setText(DatabaseC, DisplayText(p.DBName));
        row->setText(LockModeC, DisplayText(p.LockMode));
        row->setText(WaitResourceC, DisplayText(p.WaitResource));
        row->setText(ObjectC,
                     DisplayText(p.IndexName.empty() ? p.ObjectName
                                                     : p.ObjectName + " (" + p.IndexName + ")"));
        row->setText(StatementC, FirstLine(p.Statement));
        if (p.Victim)
            for (int c = SpidC; c <= StatementC; ++c)
                row->setForeground(c, QColor(200, 30, 30));
        rows << row;
    }
    ProcessesTV->addTopLevelItems(rows);
    for (int c = 0; c < StatementC; ++c)
        ProcessesTV->resizeColumnToContents(c);
    GraphW->SetReport(&report);
    ZoomW->DrawingChanged();
    SaveXdlB->setEnabled(!report.Xml.empty());
    if (report.Truncated)
        StatusL->setText(QStringLiteral("The server's report was cut off; what could be read "
                                        "is shown."));
    if (!rows.isEmpty())
        ProcessesTV->setCurrentItem(rows.front());
}

void TDeadlocksPane::ProcessSelected() {
    StatementE->clear();
    const int index = ProcessesTV->indexOfTopLevelItem(ProcessesTV->currentItem());
    if (!Selected || index < 0 ||
        static_cast<std::size_t>(index) >= Selected->Report.Processes.size())
        return;
    StatementE->setPlainText(
        DisplayText(Selected->Report.Processes[static_cast<std::size_t>(index)].Statement));
}

QString TDeadlocksPane::SuggestedFileName() const {
    if (!Selected)
        return QStringLiteral("deadlock.xdl");
    // The server's name is the user's, but a file name must not become a path.
    QString server;
    for (const QChar c : QString::fromStdString(Selected->Server).left(40))
        server += c.isLetterOrNumber() && c.unicode() < 128 ? c : QLatin1Char('_');
    const QString time = QDateTime::fromMSecsSinceEpoch(Selected->Report.Time)
                             .toString(QStringLiteral("yyyyMMdd-HHmmss"));
    return QStringLiteral("deadlock-%1-%2.xdl").arg(server, time);
}

void TDeadlocksPane::SaveXdlB_Click() {
    if (!Selected)
        return;
    QFileDialog dialog(this, QStringLiteral("Save deadlock report"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(
        {QStringLiteral("Deadlock files (*.xdl)"), QStringLiteral("All files (*)")});
    dialog.setDefaultSuffix(QStringLiteral("xdl"));
    dialog.setDirectory(QDir::homePath());
    dialog.selectFile(SuggestedFileName());
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        SaveXdlTo(dialog.selectedFiles().front());
}

void TDeadlocksPane::SaveXdlTo(const QString& path) {
    if (!Selected || Selected->Report.Xml.empty())
        throw THistoryError("No deadlock report is selected.");
    const std::string& xml = Selected->Report.Xml;
    // Written whole and renamed into place: a failed save leaves no half file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(xml.data(), static_cast<qint64>(xml.size())) !=
            static_cast<qint64>(xml.size()) ||
        !file.commit())
        throw THistoryError("Cannot write \"" + path.toStdString() +
                            "\": " + file.errorString().toStdString());
    StatusL->setText(Selected->Report.Truncated
                         ? QStringLiteral("The report was saved to %1; the server had cut it "
                                          "off, so SSMS may not open it.")
                               .arg(path)
                         : QStringLiteral("The report was saved to %1.").arg(path));
}
