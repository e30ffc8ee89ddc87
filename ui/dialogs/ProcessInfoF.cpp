#include "ProcessInfoF.h"

#include "DisplayText.h"
#include "ErrorBox.h"
#include "HistoryF.h"
#include "ServerData.h"
#include "Settings.h"
#include "WaitResource.h"
#include "WindowState.h"

#include <QApplication>
#include <QDateTime>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QVBoxLayout>

const QString TProcessInfoF::SizeKey =
    QString::fromLatin1(WindowStateRoot) + QStringLiteral("ProcessInfoF");

namespace {

// The busy cursor for as long as it lives, so that every path restores the default one.
class TBusyCursor {
public:
    TBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TBusyCursor() { QApplication::restoreOverrideCursor(); }
    TBusyCursor(const TBusyCursor&) = delete;
    TBusyCursor& operator=(const TBusyCursor&) = delete;
};

QString Q(const std::string& s) {
    return DisplayText(s);
}

QString OrNone(const std::string& s) {
    return s.empty() ? QStringLiteral("(none)") : Q(s);
}

QString Duration(std::int64_t ms) {
    return THistoryF::DurationText(std::max<std::int64_t>(ms, 0));
}

QString Sessions(std::int32_t n) {
    return n == 1 ? QStringLiteral("1 session") : QStringLiteral("%1 sessions").arg(n);
}

QString Who(const TSessionFacts& s) {
    return QStringLiteral("login %1, host %2, program %3")
        .arg(OrNone(s.Login), OrNone(s.Host), OrNone(s.Program));
}

// Batches arrive with CR LF; every kind of line break starts a new line.
QString StatementText(const std::string& text) {
    QString shown = DisplayText(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(u'\r', u'\n');
    return shown;
}

// System processes run below SPID 51 and belong to no login.
bool IsSystemSpid(std::int32_t spid, const std::string& login) {
    return spid < 51 && login.empty();
}

QPlainTextEdit* StatementBox(QWidget* parent) {
    auto* box = new QPlainTextEdit(parent);
    box->setReadOnly(true);
    box->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    box->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    box->setTabChangesFocus(true);
    box->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return box;
}

// "SPID 53" or "SPIDs 53, 54, 60"; a long list ends in how many more there are.
QString SpidList(const std::vector<std::int32_t>& spids) {
    constexpr std::size_t kNamed = 12;
    QStringList named;
    for (std::size_t i = 0; i < spids.size() && i < kNamed; ++i)
        named << QString::number(spids[i]);
    QString text = (spids.size() == 1 ? QStringLiteral("SPID ") : QStringLiteral("SPIDs ")) +
                   named.join(QStringLiteral(", "));
    if (spids.size() > kNamed)
        text += QStringLiteral(" and %1 more").arg(spids.size() - kNamed);
    return text;
}

QLabel* FactsLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A name without blanks as long as the server allows must not widen the dialog.
    label->setMinimumWidth(1);
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Minimum);
    return label;
}

} // namespace

TProcessInfoF::TProcessInfoF(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("ProcessInfoF"));
    setWindowTitle(QStringLiteral("Last SQL command"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setSizeGripEnabled(true);

    InfoL = FactsLabel(this);
    BlockingL = FactsLabel(this);
    GroupBox1 = new QGroupBox(QStringLiteral("Last SQL command"), this);
    SqlM = StatementBox(GroupBox1);
    (new QVBoxLayout(GroupBox1))->addWidget(SqlM);
    BlockerGB = new QGroupBox(this);
    BlockerSqlM = StatementBox(BlockerGB);
    (new QVBoxLayout(BlockerGB))->addWidget(BlockerSqlM);
    BlockerGB->hide();
    HeadGB = new QGroupBox(this);
    HeadSqlM = StatementBox(HeadGB);
    (new QVBoxLayout(HeadGB))->addWidget(HeadSqlM);
    HeadGB->hide();
    for (QPlainTextEdit* box : {SqlM, BlockerSqlM, HeadSqlM})
        box->installEventFilter(this);

    Button1 = new QPushButton(QStringLiteral("Refresh"), this);
    Button2 = new QPushButton(QStringLiteral("Kill process"), this);
    Button3 = new QPushButton(QStringLiteral("Close"), this);
    // No default button: Enter does nothing here.
    for (QPushButton* b : {Button1, Button2, Button3})
        b->setAutoDefault(false);

    auto* statements = new QSplitter(Qt::Vertical, this);
    statements->addWidget(GroupBox1);
    statements->addWidget(BlockerGB);
    statements->addWidget(HeadGB);
    statements->setChildrenCollapsible(false);
    auto* left = new QVBoxLayout;
    left->addWidget(InfoL);
    left->addWidget(BlockingL);
    left->addWidget(statements, 1);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);
    buttons->addStretch(1);
    buttons->addWidget(Button3);
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(left, 1);
    layout->addLayout(buttons);

    setTabOrder(SqlM, BlockerSqlM);
    setTabOrder(BlockerSqlM, HeadSqlM);
    setTabOrder(HeadSqlM, Button1);
    setTabOrder(Button1, Button2);
    setTabOrder(Button2, Button3);
    setMinimumSize(440, 400);
    resize(640, 540);

    connect(Button1, &QPushButton::clicked, this,
            [this] { GuardedCall([this] { Button1Click(); }); });
    connect(Button2, &QPushButton::clicked, this,
            [this] { GuardedCall([this] { Button2Click(); }); });
    connect(Button3, &QPushButton::clicked, this, &QDialog::reject);
}

void TProcessInfoF::LoadLastCommand() {
    const TBusyCursor busy;
    std::string text = ServerData->GetInputBuffer(Spid);
    SqlM->setPlainText(StatementText(text));
    LastCommand = std::move(text);
}

void TProcessInfoF::Button1Click() {
    LoadLastCommand();
    LoadBlocking();
}

void TProcessInfoF::LoadDetails() {
    const QString server = Q(ServerData->Info.Name);
    setWindowTitle(QStringLiteral("Last SQL command: SPID %1 on %2").arg(Spid).arg(server));
    const TBusyCursor busy;
    Session = ServerData->ReadSessionIdentity(Spid);
    if (!Details.Known && Session) {
        Details.Login = Session->Login;
        Details.Host = Session->Host;
        Details.Program = Session->Program;
    }
    QString text = QStringLiteral("Login: %1\nHost: %2\nProgram: %3\nDatabase: %4    Status: %5")
                       .arg(OrNone(Details.Login), OrNone(Details.Host), OrNone(Details.Program),
                            OrNone(Details.Database), OrNone(Details.Status));
    if (!Details.Wait.empty())
        text += "\nWait: " + Q(Details.Wait);
    if (!Details.WaitResource.empty()) {
        // Names are looked up once per server; a server that refuses leaves the ids.
        if (ServerData->DatabaseNames.empty()) {
            try {
                ServerData->DatabaseNames = ServerData->ReadDatabaseNames();
            } catch (const std::exception&) {
            }
        }
        const TDatabaseNames& names = ServerData->DatabaseNames;
        const auto nameOf = [&names](std::int32_t id) {
            const auto it = names.find(id);
            return it == names.end() ? std::string() : it->second;
        };
        const TWaitResource resource = DecodeWaitResource(Details.WaitResource, nameOf);
        if (!resource.Kind.empty()) {
            QString words = Q(resource.Words);
            const std::string query = ObjectNamesQuery(resource, nameOf(resource.DatabaseId));
            if (!query.empty()) {
                try {
                    const TObjectNames found = ServerData->ReadObjectNames(query);
                    if (!found.Object.empty()) {
                        words += "\nTable " + Q(found.Schema.empty()
                                                    ? found.Object
                                                    : found.Schema + "." + found.Object);
                        if (!found.Index.empty())
                            words += ", index " + Q(found.Index);
                    }
                } catch (const std::exception&) {
                }
            }
            text += "\nWaits for: " + words;
        }
    }
    if (!Session)
        text += "\nThe session has ended.";
    InfoL->setText(text);
}

void TProcessInfoF::ReadLatestFigures() {
    Blocking = DescribeBlocking(ServerData->Analysis(), Spid);
    AsOf = ServerData->SnapshotTime;
    // The snapshot may show the SPID in the hands of another session by now.
    if (Blocking.Found && Details.Known &&
        (Blocking.Session.Login != Details.Login || Blocking.Session.Host != Details.Host ||
         Blocking.Session.Program != Details.Program))
        Blocking = TSessionBlocking{};
}

QString TProcessInfoF::AsOfText() const {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(AsOf.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(ms).time().toString(QStringLiteral("HH:mm:ss"));
}

void TProcessInfoF::LoadBlocking() {
    ReadLatestFigures();
    Idle = TAgeRead{};
    Transaction.reset();

    const TBusyCursor busy;
    // Each read is an extra: one that fails is left out, and while the connection is down or
    // connecting none is tried (each would wait for a connect).
    const auto read = [this](const auto& call) {
        TDbConnection& connection = ServerData->ADOConnection;
        if (connection.Connecting() || !connection.Connected())
            return false;
        try {
            call();
            return true;
        } catch (const std::exception&) {
            return false;
        }
    };
    BlockerGB->setVisible(Blocking.BlockerKnown);
    const auto statementOf = [&](std::int32_t spid, QPlainTextEdit* box) {
        std::string text;
        if (read([&] { text = ServerData->GetInputBuffer(spid); }))
            box->setPlainText(StatementText(text));
        else
            box->setPlainText(QStringLiteral("(not read)"));
    };
    if (Blocking.BlockerKnown) {
        BlockerGB->setTitle(QStringLiteral("Last SQL command of SPID %1, which blocks it")
                                .arg(Blocking.BlockerSpid));
        statementOf(Blocking.BlockerSpid, BlockerSqlM);
    }
    // Further up the chain, the head holds what everybody waits for.
    HeadGB->setVisible(Blocking.HeadKnown);
    if (Blocking.HeadKnown) {
        HeadGB->setTitle(QStringLiteral("Last SQL command of SPID %1, at the head of its chain")
                             .arg(Blocking.Head.Spid));
        statementOf(Blocking.Head.Spid, HeadSqlM);
    }
    if (Blocking.IsHead) {
        read([&] { Idle = ServerData->ReadAge(LastBatchQuery(Spid)); });
        // The transaction views show other sessions only with VIEW SERVER STATE.
        if (Blocking.Session.OpenTran > 0 &&
            (ServerData->IsSysAdmin || ServerData->CanViewServerState))
            read([&] { Transaction = ServerData->ReadAge(TransactionAgeQuery(Spid)); });
    }
    BlockingL->setText(BlockingText());
}

QString TProcessInfoF::BlockingText() const {
    const TSessionBlocking& b = Blocking;
    if (!b.Found)
        return QStringLiteral("Not in the server's latest process list.");
    QStringList lines;
    if (b.Blocked) {
        const QString wait = Duration(b.Wait);
        if (b.BlockerKnown)
            lines << QStringLiteral("Blocked for %1 by SPID %2 (%3).")
                         .arg(wait)
                         .arg(b.BlockerSpid)
                         .arg(Who(b.Blocker));
        else if (b.BlockerSpid < 0)
            lines << QStringLiteral("Blocked for %1 by SPID %2, which is no session (an orphaned "
                                    "distributed transaction, a recovery or a latch).")
                         .arg(wait)
                         .arg(b.BlockerSpid);
        else
            lines << QStringLiteral("Blocked for %1 by SPID %2, which is not in the process list.")
                         .arg(wait)
                         .arg(b.BlockerSpid);
        if (b.HeadKnown)
            lines << QStringLiteral("At the head of its chain: SPID %1 (%2).")
                         .arg(b.Head.Spid)
                         .arg(Who(b.Head));
    }
    if (!b.Cycle.empty()) {
        QStringList spids;
        for (const std::int32_t spid : b.Cycle)
            spids << QString::number(spid);
        const bool in = std::find(b.Cycle.begin(), b.Cycle.end(), b.Session.Spid) != b.Cycle.end();
        lines << QStringLiteral("%1 a blocking cycle of SPIDs %2: none of them can go on.")
                     .arg(in ? QStringLiteral("In") : QStringLiteral("Behind"),
                          spids.join(QStringLiteral(", ")));
    }
    if (b.BlocksInAll > 0) {
        const QString directly = b.BlocksDirectly == b.BlocksInAll
                                     ? QStringLiteral(" directly")
                                     : QStringLiteral(" (%1 directly)").arg(b.BlocksDirectly);
        lines << QStringLiteral("Blocks %1%2: %3; they have waited %4 in all, the longest %5.")
                     .arg(Sessions(b.BlocksInAll), directly, SpidList(b.BlockedSpids),
                          Duration(b.BlockedWait), Duration(b.LongestBlocked));
    } else {
        lines << QStringLiteral("Blocks no other session.");
    }
    if (b.IsHead) {
        const bool sleeping = b.Session.Status == "sleeping";
        QString head = QStringLiteral("Head blocker, %1").arg(OrNone(b.Session.Status));
        if (b.Session.OpenTran > 0) {
            head += QStringLiteral(" with an open transaction");
            if (Transaction && Transaction->AgeMs)
                head += QStringLiteral(" for %1").arg(Duration(*Transaction->AgeMs));
        } else {
            head += QStringLiteral(", no open transaction");
        }
        lines << head + u'.';
        if (Idle.AgeMs)
            lines << (sleeping ? QStringLiteral("Idle for %1, since its last batch at %2.")
                               : QStringLiteral("Its current batch began %1 ago, at %2."))
                         .arg(Duration(*Idle.AgeMs), Q(Idle.Time));
    }
    return lines.join(u'\n');
}

QString TProcessInfoF::ConfirmationText() const {
    QString text = QStringLiteral("Kill SPID %1 on %2?\n\nLogin: %3\nHost: %4\nProgram: %5")
                       .arg(Spid)
                       .arg(Q(ServerData->Info.Name), OrNone(Details.Login), OrNone(Details.Host),
                            OrNone(Details.Program));
    if (IsSystemSpid(Spid, Details.Login))
        text += QStringLiteral("\n\nWarning: SPID %1 is a system process. Killing it can stop "
                               "the server's own work.")
                    .arg(Spid);
    if (!Blocking.Found) {
        text += QStringLiteral("\n\nAs of %1 (the latest refresh) it is not in the server's "
                               "process list.")
                    .arg(AsOfText());
    } else {
        text += QStringLiteral("\n\nAs of %1 (the latest refresh):").arg(AsOfText());
        if (Blocking.Session.OpenTran > 0) {
            text += QStringLiteral("\nIts open transaction");
            if (Transaction && Transaction->AgeMs)
                text += QStringLiteral(", open for %1,").arg(Duration(*Transaction->AgeMs));
            text += QStringLiteral(" will be rolled back; its changes are lost and its locks "
                                   "are held until the rollback ends.");
        }
        text += Blocking.BlocksInAll > 0
                    ? QStringLiteral("\nIt blocks %1: %2.")
                          .arg(Sessions(Blocking.BlocksInAll), SpidList(Blocking.BlockedSpids))
                    : QStringLiteral("\nIt blocks no other session.");
    }
    return text;
}

QString TProcessInfoF::ChangedSessionText(const std::optional<TSessionIdentity>& now) const {
    const QString refusal = QStringLiteral("Nothing was killed.");
    if (!now)
        return QStringLiteral("SPID %1 is no longer in use. ").arg(Spid) + refusal;
    // The login time tells two sessions of the same login, host and program apart.
    const bool same = now->Login == Details.Login && now->Host == Details.Host &&
                      now->Program == Details.Program &&
                      (!Session || now->LoginTime == Session->LoginTime);
    if (same && Session)
        return QString();
    return QStringLiteral("SPID %1 now belongs to another session (login %2, host %3, program %4, "
                          "logged in %5). ")
               .arg(Spid)
               .arg(OrNone(now->Login), OrNone(now->Host), OrNone(now->Program),
                    Q(now->LoginTime)) +
           refusal;
}

void TProcessInfoF::ShowKillPermission() {
    // The server would refuse with Msg 6102: say which grant is missing instead.
    const bool may = ServerData->MayKill();
    Button2->setEnabled(may);
    Button2->setToolTip(may ? QString()
                            : QStringLiteral("Needs ALTER ANY CONNECTION (or sysadmin)"));
}

TKillRecord TProcessInfoF::KillRecord() const {
    TKillRecord record;
    record.Server = ServerData->Info.Name;
    record.Time = QDateTime::currentMSecsSinceEpoch();
    record.Spid = Spid;
    record.Login = Details.Login;
    record.Host = Details.Host;
    record.Program = Details.Program;
    record.Statement = LastCommand;
    record.KilledBy = LocalUserName();
    record.OpenTran = Blocking.Found ? Blocking.Session.OpenTran : 0;
    record.BlockedCount = Blocking.Found ? Blocking.BlocksInAll : 0;
    return record;
}

void TProcessInfoF::Record(TKillRecord record, const std::string& outcome) {
    record.Outcome = outcome;
    if (RecordKill)
        RecordKill(std::move(record));
}

void TProcessInfoF::Button2Click() {
    if (!ServerData->MayKill())
        return;
    // The figures the question gives are the latest refresh's, not those of the opening: the
    // blocking may have ended (or grown) while the card was open.
    ReadLatestFigures();
    BlockingL->setText(BlockingText());
    if (ConfirmKill && QMessageBox::question(
                           this, QStringLiteral("Kill process"), ToolTipText(ConfirmationText()),
                           QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return;
    // Taken now: what the user confirmed, before anything below can change it.
    const TKillRecord record = KillRecord();
    try {
        // Right before the KILL: the SPID may have been reused while the dialog was open.
        const QString changed = ChangedSessionText(ServerData->ReadSessionIdentity(Spid));
        if (!changed.isEmpty()) {
            Record(record, changed.toStdString());
            QMessageBox::warning(this, QStringLiteral("Kill process"), ToolTipText(changed));
            return;
        }
        ServerData->KillProcess(Spid);
    } catch (const std::exception& e) {
        // The server's refusal, or why the KILL never reached it.
        Record(record, e.what());
        throw;
    }
    Record(record, std::string());
    accept();
}

bool TProcessInfoF::eventFilter(QObject* watched, QEvent* event) {
    // Escape closes the dialog also while a text box has the focus.
    if ((watched == SqlM || watched == BlockerSqlM || watched == HeadSqlM) &&
        (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        if (event->type() == QEvent::KeyRelease)
            reject();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

bool ShowProcessInfo(TServerData& Server, std::int32_t Spid, QWidget* parent) {
    TProcessDetails details;
    details.Spid = Spid;
    return ShowProcessInfo(Server, details, parent);
}

bool ShowProcessInfo(TServerData& Server, const TProcessDetails& details, QWidget* parent,
                     TKillRecorder recordKill) {
    TProcessInfoF dialog(parent);
    dialog.ServerData = &Server;
    dialog.Spid = details.Spid;
    dialog.Details = details;
    dialog.RecordKill = std::move(recordKill);
    dialog.ShowKillPermission();
    dialog.LoadLastCommand();
    dialog.LoadDetails();
    dialog.LoadBlocking();
    try {
        RestoreDialogSize(&dialog, TProcessInfoF::SizeKey);
    } catch (const std::exception&) {
        // A store that cannot be read leaves the designed size.
    }
    dialog.SqlM->setFocus();
    const bool killed = dialog.exec() == QDialog::Accepted;
    try {
        SaveDialogSize(&dialog, TProcessInfoF::SizeKey);
    } catch (const std::exception&) {
        // Only the size is lost; the kill, if any, is done and recorded.
    }
    return killed;
}
