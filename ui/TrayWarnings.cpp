#include "TrayWarnings.h"

#include "DisplayText.h"
#include "Icons.h"
#include "ServerData.h"
#include "Settings.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
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
}

TTrayWarnings::~TTrayWarnings() {
    JvTrayIcon.hide();
}

int TTrayWarnings::Share(const TServerData& s) {
    if (s.State == 1 && ((IgnoreSelfBlocks && !s.ProcessList.HasRealBlocks()) ||
                         (IgnoreNotWarningBlocks && !s.ProcessList.HasWarning())))
        return 0;
    return s.State;
}

int TTrayWarnings::TrayIconIndex(const std::vector<TServerData*>& servers) {
    int m = 0;
    for (const TServerData* s : servers)
        m = std::max(m, Share(*s));
    return m + 2;
}

void TTrayWarnings::SetIndex(int index) {
    if (index != Index) {
        Index = index;
        JvTrayIcon.setIcon(States.Icon(Index));
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
}

void TTrayWarnings::ShowCounted() {
    SetIndex(Errors > 0 ? 4 : Blocks > 0 ? 3 : 2);
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

bool TTrayWarnings::Warn(const TServerData& server) {
    if (!PlaySoundOnWarning && !(ShowBaloonOnWarning && JvTrayIcon.isVisible()))
        return false;
    const QString name = DisplayText(server.Info.Name);
    if (!PendingNames.contains(name))
        PendingNames << name;
    if (!HoldOff.isActive())
        GiveWarning();
    return true;
}

void TTrayWarnings::GiveWarning() {
    if (PendingNames.isEmpty())
        return;
    const QStringList names = std::exchange(PendingNames, {});
    ++Given;
    if (PlaySoundOnWarning)
        PlayWarningSound();
    if (ShowBaloonOnWarning && JvTrayIcon.isVisible()) {
        LastBalloon = BalloonText(names).left(255);
        if (QSystemTrayIcon::supportsMessages())
            JvTrayIcon.showMessage(BalloonTitle().left(63), LastBalloon, QSystemTrayIcon::Warning,
                                   5000);
    }
    HoldOff.start(HoldOffMs);
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
