#include "ProcessInfoF.h"

#include "DisplayText.h"
#include "ErrorBox.h"
#include "ServerData.h"
#include "Settings.h"
#include "WaitResource.h"

#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>

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

// System processes run below SPID 51 and belong to no login.
bool IsSystemSpid(std::int32_t spid, const std::string& login) {
    return spid < 51 && login.empty();
}

} // namespace

TProcessInfoF::TProcessInfoF(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Last SQL command"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    constexpr int top = 115; // below the process's details
    InfoL = new QLabel(this);
    InfoL->setGeometry(10, 5, 390, 105);
    InfoL->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    InfoL->setWordWrap(true);
    InfoL->setTextFormat(Qt::PlainText);
    InfoL->setTextInteractionFlags(Qt::TextSelectableByMouse);
    GroupBox1 = new QGroupBox(this);
    GroupBox1->setGeometry(5, top + 5, 311, 196);
    SqlM = new QPlainTextEdit(GroupBox1);
    SqlM->setGeometry(10, 12, 291, 171);
    SqlM->setReadOnly(true);
    SqlM->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    SqlM->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    SqlM->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    SqlM->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    SqlM->setTabChangesFocus(true);
    SqlM->installEventFilter(this);

    Button1 = new QPushButton(QStringLiteral("Refresh"), this);
    Button1->setGeometry(324, top + 10, 75, 25);
    Button2 = new QPushButton(QStringLiteral("Kill process"), this);
    Button2->setGeometry(324, top + 41, 75, 25);
    Button3 = new QPushButton(QStringLiteral("Close"), this);
    Button3->setGeometry(324, top + 176, 75, 25);
    // No default button: Enter does nothing here.
    for (QPushButton* b : {Button1, Button2, Button3})
        b->setAutoDefault(false);

    setTabOrder(SqlM, Button1);
    setTabOrder(Button1, Button2);
    setTabOrder(Button2, Button3);
    setFixedSize(405, top + 206);

    connect(Button1, &QPushButton::clicked, this,
            [this] { GuardedCall([this] { Button1Click(); }); });
    connect(Button2, &QPushButton::clicked, this,
            [this] { GuardedCall([this] { Button2Click(); }); });
    connect(Button3, &QPushButton::clicked, this, &QDialog::reject);
}

void TProcessInfoF::LoadLastCommand() {
    const TBusyCursor busy;
    QString text = DisplayText(ServerData->GetInputBuffer(Spid));
    // Batches arrive with CR LF; every kind of line break starts a new line.
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(u'\r', u'\n');
    SqlM->setPlainText(text);
}

void TProcessInfoF::Button1Click() {
    LoadLastCommand();
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

QString TProcessInfoF::ConfirmationText() const {
    QString text = QStringLiteral("Kill SPID %1 on %2?\n\nLogin: %3\nHost: %4\nProgram: %5")
                       .arg(Spid)
                       .arg(Q(ServerData->Info.Name), OrNone(Details.Login), OrNone(Details.Host),
                            OrNone(Details.Program));
    if (IsSystemSpid(Spid, Details.Login))
        text += QStringLiteral("\n\nWarning: SPID %1 is a system process. Killing it can stop "
                               "the server's own work.")
                    .arg(Spid);
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

void TProcessInfoF::Button2Click() {
    if (!ServerData->MayKill())
        return;
    if (ConfirmKill && QMessageBox::question(
                           this, QStringLiteral("Kill process"), ToolTipText(ConfirmationText()),
                           QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return;
    // Right before the KILL: the SPID may have been reused while the dialog was open.
    const QString changed = ChangedSessionText(ServerData->ReadSessionIdentity(Spid));
    if (!changed.isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("Kill process"), ToolTipText(changed));
        return;
    }
    ServerData->KillProcess(Spid);
    accept();
}

bool TProcessInfoF::eventFilter(QObject* watched, QEvent* event) {
    // Escape closes the dialog also while the text box has the focus.
    if (watched == SqlM &&
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

bool ShowProcessInfo(TServerData& Server, const TProcessDetails& details, QWidget* parent) {
    TProcessInfoF dialog(parent);
    dialog.ServerData = &Server;
    dialog.Spid = details.Spid;
    dialog.Details = details;
    dialog.ShowKillPermission();
    dialog.LoadLastCommand();
    dialog.LoadDetails();
    dialog.SqlM->setFocus();
    return dialog.exec() == QDialog::Accepted;
}
