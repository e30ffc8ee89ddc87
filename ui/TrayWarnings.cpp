#include "TrayWarnings.h"

#include "Icons.h"
#include "ServerData.h"
#include "Settings.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSoundEffect>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <QWidget>

TTrayWarnings::TTrayWarnings(QWidget& mainWindow, const TImageList& states)
    : Window(mainWindow), States(states) {
    JvTrayIcon.setIcon(States.Icon(0));
    JvTrayIcon.setContextMenu(&TrayPM);
    connect(&JvTrayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { IconActivated(reason); });
}

TTrayWarnings::~TTrayWarnings() {
    JvTrayIcon.hide();
}

int TTrayWarnings::TrayIconIndex(const std::vector<TServerData*>& servers) {
    int m = 0;
    for (const TServerData* s : servers) {
        const int state = s->State;
        if (state <= m)
            continue;
        if (state == 1 && ((IgnoreSelfBlocks && !s->ProcessList.HasRealBlocks()) ||
                           (IgnoreNotWarningBlocks && !s->ProcessList.HasWarning())))
            continue;
        m = state;
    }
    return m + 2;
}

void TTrayWarnings::UpdateTrayIcon(const std::vector<TServerData*>& servers) {
    const int index = TrayIconIndex(servers);
    if (index != Index) {
        Index = index;
        JvTrayIcon.setIcon(States.Icon(Index));
    }
}

QString TTrayWarnings::BalloonText(const QString& serverName) {
    return "Warning! " + serverName + " have blocks!";
}

bool TTrayWarnings::Warn(const TServerData& server) {
    bool result = false;
    if (PlaySoundOnWarning) {
        result = true;
        PlayWarningSound();
    }
    if (ShowBaloonOnWarning && JvTrayIcon.isVisible()) {
        result = true;
        if (QSystemTrayIcon::supportsMessages())
            JvTrayIcon.showMessage(BalloonTitle().left(63),
                                   BalloonText(QString::fromStdString(server.Info.Name)).left(255),
                                   QSystemTrayIcon::Warning, 5000);
    }
    return result;
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
