#include "HistoryKillsView.h"

#include "CountText.h"
#include "DisplayText.h"
#include "ErrorBox.h"

#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QString Q(const std::string& text) {
    return DisplayText(text);
}

} // namespace

THistoryKillsView::THistoryKillsView(QWidget* parent) : QWidget(parent) {
    KillsTV = new QTreeWidget(this);
    KillsTV->setHeaderLabels({"Time", "Server", "SPID", "Login", "Host", "Program", "Open tran",
                              "Blocked", "Killed by", "Outcome"});
    KillsTV->setRootIsDecorated(false);
    KillsTV->setUniformRowHeights(true);
    KillsTV->setAlternatingRowColors(true);
    KillsTV->header()->setStretchLastSection(true);
    StatementE = new QPlainTextEdit(this);
    StatementE->setReadOnly(true);
    StatementE->setPlaceholderText(QStringLiteral("The killed session's last statement"));
    StatusL = new QLabel(this);
    StatusL->setTextFormat(Qt::PlainText);

    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(KillsTV);
    split->addWidget(StatementE);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(split, 1);
    layout->addWidget(StatusL);

    connect(KillsTV, &QTreeWidget::currentItemChanged, this,
            [this] { GuardedCall([this] { KillSelected(); }); });
}

void THistoryKillsView::Show(const std::string& fileName, THistoryFilter filter) {
    KillsTV->clear();
    StatementE->clear();
    Kills.clear();
    filter.Limit = ShownKills;
    try {
        THistoryStore store(fileName, THistoryStore::TMode::Read);
        Kills = store.Kills(filter);
    } catch (const THistoryError& e) {
        StatusL->setText(Q(e.what()));
        return;
    }
    QList<QTreeWidgetItem*> rows;
    for (const TKillRecord& k : Kills) {
        auto* row = new QTreeWidgetItem;
        row->setText(TimeC, QDateTime::fromMSecsSinceEpoch(k.Time).toString(
                                QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        row->setText(ServerC, Q(k.Server));
        row->setText(SpidC, QString::number(k.Spid));
        row->setText(LoginC, Q(k.Login));
        row->setText(HostC, Q(k.Host));
        row->setText(ProgramC, Q(k.Program));
        row->setText(OpenTranC, QString::number(k.OpenTran));
        row->setText(BlockedC, QString::number(k.BlockedCount));
        row->setText(KilledByC, Q(k.KilledBy));
        row->setText(OutcomeC, k.Outcome.empty() ? QStringLiteral("killed")
                                                 : QStringLiteral("not killed: ") + Q(k.Outcome));
        for (int c : {SpidC, OpenTranC, BlockedC})
            row->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
        rows << row;
    }
    KillsTV->addTopLevelItems(rows);
    for (int c = 0; c < OutcomeC; ++c)
        KillsTV->resizeColumnToContents(c);
    StatusL->setText(Kills.size() == static_cast<std::size_t>(ShownKills)
                         ? QStringLiteral("The newest %1 kills are shown.").arg(ShownKills)
                         : CountText(static_cast<long long>(Kills.size()), "kill.", "kills."));
    if (!rows.isEmpty())
        KillsTV->setCurrentItem(rows.front());
}

void THistoryKillsView::KillSelected() {
    StatementE->clear();
    const int index = KillsTV->indexOfTopLevelItem(KillsTV->currentItem());
    if (index < 0 || static_cast<std::size_t>(index) >= Kills.size())
        return;
    const TKillRecord& k = Kills[static_cast<std::size_t>(index)];
    StatementE->setPlainText(k.Statement ? Q(*k.Statement)
                                         : QStringLiteral("(not read before the kill)"));
}
