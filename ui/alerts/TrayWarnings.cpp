#include "TrayWarnings.h"

#include "DisplayText.h"
#include "Icons.h"
#include "ServerData.h"
#include "Settings.h"
#include "StatusSummary.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#ifdef _WIN32
#include <windows.h>
// After windows.h, whose types it uses.
#include <mmsystem.h>
#else
#include <QSoundEffect>
#endif
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <algorithm>
#include <utility>

TTrayWarnings::TTrayWarnings(QWidget& mainWindow, const TImageList& states)
    : Window(mainWindow), States(states) {
    JvTrayIcon.setIcon(States.Icon(0));
    JvTrayIcon.setContextMenu(&TrayPM);
    connect(&JvTrayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { IconActivated(reason); });
    HoldOff.setSingleShot(true);
    connect(&HoldOff, &QTimer::timeout, this, [this] { GiveWarning(); });
    StatementWait.setSingleShot(true);
    connect(&StatementWait, &QTimer::timeout, this, [this] { GiveWarning(); });
}

TTrayWarnings::~TTrayWarnings() {
    JvTrayIcon.hide();
}

int TTrayWarnings::Share(const TServerData& s) {
    if (s.Muted())
        return 0; // the user asked for quiet: neither its blocks nor its errors
    if (s.State == 1 && ((IgnoreSelfBlocks && !s.ProcessList.HasRealBlocks()) ||
                         (IgnoreNotWarningBlocks && !s.ProcessList.HasWarning())))
        return 0;
    return s.State;
}

int TTrayWarnings::TrayIconIndex(const std::vector<TServerData*>& servers) {
    bool blocks = false, errors = false;
    for (const TServerData* s : servers) {
        const int share = Share(*s);
        blocks |= share == 1;
        errors |= share == 2;
    }
    return blocks ? 3 : errors ? 4 : 2;
}

bool TTrayWarnings::TrayErrorMark(const std::vector<TServerData*>& servers) {
    bool blocks = false, errors = false;
    for (const TServerData* s : servers) {
        const int share = Share(*s);
        blocks |= share == 1;
        errors |= share == 2;
    }
    return blocks && errors;
}

void TTrayWarnings::SetIndex(int index, bool marked) {
    if (index != Index || marked != Marked) {
        Index = index;
        Marked = marked;
        if (marked && BlocksWithError.isNull())
            BlocksWithError = MakeBlocksWithErrorIcon();
        JvTrayIcon.setIcon(marked ? BlocksWithError : States.Icon(Index));
    }
}

void TTrayWarnings::UpdateTrayIcon(const std::vector<TServerData*>& servers) {
    Shares.clear();
    Errors = 0;
    Blocks = 0;
    for (const TServerData* s : servers)
        Recount(*s);
    ShowCounted();
}

void TTrayWarnings::Recount(const TServerData& server) {
    if (server.State != 1)
        Statements.erase(&server); // the next blocking is another incident
    const auto share = static_cast<std::uint8_t>(Share(server));
    auto [it, added] = Shares.try_emplace(&server, share);
    if (!added) {
        if (it->second == share)
            return;
        Errors -= it->second == 2;
        Blocks -= it->second == 1;
        it->second = share;
    }
    Errors += share == 2;
    Blocks += share == 1;
}

void TTrayWarnings::Forget(const TServerData& server) {
    if (auto it = Shares.find(&server); it != Shares.end()) {
        Errors -= it->second == 2;
        Blocks -= it->second == 1;
        Shares.erase(it);
    }
    Statements.erase(&server);
    std::erase_if(Pending, [&](const TPending& p) { return p.Server == &server; });
}

void TTrayWarnings::ShowCounted() {
    SetIndex(Blocks > 0 ? 3 : Errors > 0 ? 4 : 2, Blocks > 0 && Errors > 0);
}

QString TTrayWarnings::BalloonText(const QString& serverName) {
    return "Warning! " + serverName + " have blocks!";
}

QString TTrayWarnings::BalloonText(const QStringList& serverNames) {
    const auto n = serverNames.size();
    if (n <= 1)
        return BalloonText(serverNames.value(0));
    if (n <= 3)
        return BalloonText(serverNames.first(n - 1).join(", ") + " and " + serverNames.last());
    return BalloonText(serverNames.first(2).join(", ") + " and " + QString::number(n - 2) +
                       " more");
}

QString TTrayWarnings::BalloonText(const QStringList& serverNames, const QStringList& incidents,
                                   int maxLength) {
    QString text = BalloonText(serverNames);
    for (qsizetype i = 0; i < incidents.size(); ++i) {
        if (incidents[i].isEmpty())
            continue;
        const QString block = '\n' +
                              (serverNames.size() > 1 ? serverNames.value(i) + ":\n" : QString()) +
                              incidents[i];
        if (text.size() + block.size() > maxLength)
            break; // a cut incident would misstate it; the first ones are the first warned
        text += block;
    }
    return text.left(maxLength);
}

bool TTrayWarnings::Warn(TServerData& server) {
    if (!PlaySoundOnWarning && !(ShowBaloonOnWarning && JvTrayIcon.isVisible()))
        return false;
    const QString name = DisplayText(server.Info.Name);
    auto it = std::find_if(Pending.begin(), Pending.end(),
                           [&](const TPending& p) { return p.Server == &server; });
    if (it == Pending.end()) {
        Pending.push_back({&server, name, {}, 0, false});
        it = Pending.end() - 1;
    }
    // The figures as they stand now; a later warning of the same server brings newer ones.
    it->Incident = IncidentText(server);
    it->HeadSpid = IncidentHeadSpid(server);
    if (ShowBaloonOnWarning && JvTrayIcon.isVisible())
        ReadStatement(server, *it);
    GiveWhenReady();
    return true;
}

void TTrayWarnings::ReadStatement(TServerData& server, TPending& pending) {
    if (pending.HeadSpid <= 0 || pending.Reading)
        return;
    const auto known = Statements.find(&server);
    if (known != Statements.end() && known->second.Spid == pending.HeadSpid)
        return; // read for this head already (or being read)
    if (!server.IsSysAdmin && !server.CanViewServerState)
        return;
    Statements[&server] = {pending.HeadSpid, QString()};
    const QPointer<TTrayWarnings> self(this);
    const int spid = pending.HeadSpid;
    TServerData* monitor = &server;
    try {
        pending.Reading =
            server.RequestInputBuffer(spid, [self, spid, monitor](const std::string* text) {
                if (!self)
                    return;
                const QString read =
                    text ? QString::fromUtf8(text->data(), static_cast<qsizetype>(text->size()))
                         : QString();
                // Work the monitor abandons never answers, so it is still there.
                if (auto k = self->Statements.find(monitor);
                    k != self->Statements.end() && k->second.Spid == spid)
                    k->second.Text = read;
                self->StatementRead(*monitor, spid);
            });
    } catch (const std::exception&) {
        pending.Reading = false; // the balloon goes without the statement
    }
    if (!pending.Reading)
        Statements.erase(&server); // nothing was sent: a later warning may try again
}

void TTrayWarnings::StatementRead(const TServerData& server, int spid) {
    for (TPending& p : Pending)
        if (p.Server == &server && p.HeadSpid == spid)
            p.Reading = false;
    GiveWhenReady();
}

void TTrayWarnings::GiveWhenReady() {
    if (HoldOff.isActive() || Pending.empty())
        return; // the hold-off gives what gathers meanwhile
    const bool reading =
        std::any_of(Pending.begin(), Pending.end(), [](const TPending& p) { return p.Reading; });
    if (!reading) {
        StatementWait.stop();
        GiveWarning();
    } else if (!StatementWait.isActive()) {
        StatementWait.start(StatementWaitMs);
    }
}

void TTrayWarnings::GiveWarning() {
    if (Pending.empty())
        return;
    StatementWait.stop();
    const std::vector<TPending> pending = std::exchange(Pending, {});
    QStringList names, incidents;
    for (const TPending& p : pending) {
        names << p.Name;
        QString incident = p.Incident;
        const auto known = Statements.find(p.Server);
        if (!incident.isEmpty() && known != Statements.end() && known->second.Spid == p.HeadSpid)
            if (const QString start = IncidentStatement(known->second.Text); !start.isEmpty())
                incident += '\n' + start;
        incidents << incident;
    }
    ++Given;
    if (PlaySoundOnWarning)
        PlayWarningSound();
    if (ShowBaloonOnWarning && JvTrayIcon.isVisible()) {
        LastBalloon = BalloonText(names, incidents, 255);
        if (QSystemTrayIcon::supportsMessages())
            JvTrayIcon.showMessage(BalloonTitle().left(63), LastBalloon, QSystemTrayIcon::Warning,
                                   5000);
    }
    HoldOff.start(HoldOffMs);
}

QString TTrayWarnings::StoppedText(const QString& serverName, const QDateTime& lastAnswer) {
    QString text = serverName + " stopped answering.";
    if (lastAnswer.isValid())
        text += "\nLast answer at " + lastAnswer.time().toString(QStringLiteral("HH:mm:ss")) + '.';
    return text;
}

bool TTrayWarnings::WarnStopped(const TServerData& server, const QDateTime& lastAnswer) {
    if (!WarnWhenServerStops || server.Muted())
        return false;
    const bool balloon = ShowBaloonOnWarning && JvTrayIcon.isVisible();
    if (!PlaySoundOnWarning && !balloon)
        return false;
    ++Given;
    if (PlaySoundOnWarning)
        PlayWarningSound();
    if (balloon) {
        LastBalloon = StoppedText(DisplayText(server.Info.Name), lastAnswer).left(255);
        if (QSystemTrayIcon::supportsMessages())
            JvTrayIcon.showMessage(BalloonTitle().left(63), LastBalloon, QSystemTrayIcon::Critical,
                                   5000);
    }
    return true;
}

QString TTrayWarnings::FindSoundFile(const QString& soundPath) {
    if (soundPath.isEmpty())
        return QString();
    const QFileInfo given(soundPath);
    if (soundPath.contains('/') || given.isAbsolute())
        return given.isFile() ? given.absoluteFilePath() : QString();
    QStringList folders;
    const QString programDir = QCoreApplication::applicationDirPath();
    folders << programDir << programDir + "/../share/tallyvane/sounds";
    for (const QString& dir :
         QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation))
        folders << dir + "/sounds" << dir + "/sounds/freedesktop/stereo";
    for (const QString& dir : folders) {
        const QFileInfo candidate(QDir(dir).filePath(soundPath));
        if (candidate.isFile())
            return candidate.absoluteFilePath();
    }
    return QString();
}

void TTrayWarnings::PlayWarningSound() {
    const QString file = FindSoundFile(QString::fromStdString(WarningSoundPath));
    if (file.isEmpty()) {
        QApplication::beep();
        return;
    }
#ifdef _WIN32
    // Asynchronous, and a new warning's sound replaces one still playing.
    const QString native = QDir::toNativeSeparators(file);
    if (!::PlaySoundW(reinterpret_cast<const wchar_t*>(native.utf16()), nullptr,
                      SND_FILENAME | SND_ASYNC | SND_NODEFAULT))
        QApplication::beep();
#else
    if (!Sound) {
        Sound = std::make_unique<QSoundEffect>();
        // Loading and playing run asynchronously; a file that cannot be played turns into the
        // stop beep when the effect reports its error.
        connect(Sound.get(), &QSoundEffect::statusChanged, this, [this] {
            if (Sound->status() == QSoundEffect::Error)
                QApplication::beep();
        });
    }
    const QUrl url = QUrl::fromLocalFile(file);
    if (Sound->source() != url)
        Sound->setSource(url);
    else if (Sound->status() == QSoundEffect::Error) {
        QApplication::beep();
        return;
    }
    // A new warning's sound replaces one still playing.
    Sound->stop();
    Sound->play();
#endif
}

void TTrayWarnings::SetShown(bool shown) {
    JvTrayIcon.setVisible(shown);
}

void TTrayWarnings::HideToTray() {
    VisibleTaskBar = false;
    // Hidden windows have no task-bar entry; without a notification area to come back from,
    // minimising is as far as it goes.
    if (QSystemTrayIcon::isSystemTrayAvailable() && JvTrayIcon.isVisible())
        Window.hide();
    else if (Window.isVisible() && !Window.isMinimized())
        Window.showMinimized();
}

void TTrayWarnings::RestoreFromTray() {
    VisibleTaskBar = true;
    Window.setWindowState(Window.windowState() & ~Qt::WindowMinimized);
    Window.show();
    Window.raise();
    Window.activateWindow();
}

void TTrayWarnings::WindowMinimized() {
    if (AutoHide && JvTrayIcon.isVisible())
        // Hiding from inside the minimise notification confuses some window managers.
        QTimer::singleShot(0, this, [this] {
            if (Window.isMinimized())
                HideToTray();
        });
}

void TTrayWarnings::IconActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::DoubleClick)
        return;
    if (Window.isVisible() && !Window.isMinimized())
        HideToTray();
    else
        RestoreFromTray();
}
