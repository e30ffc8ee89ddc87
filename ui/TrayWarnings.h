// The notification-area icon (JvTrayIcon) with the worst state over all servers, the warning
// (sound and balloon), and hiding the application to the notification area and back.
#pragma once

#include <QMenu>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>
#include <memory>
#include <vector>

class QSoundEffect;
class QWidget;
class TImageList;
class TServerData;

class TTrayWarnings : public QObject {
    Q_OBJECT
public:
    TTrayWarnings(QWidget& mainWindow, const TImageList& states);
    ~TTrayWarnings() override;

    // The icon index for these servers, in node order: 2 none counts, 3 blocks that count,
    // 4 some server in error. Reads IgnoreSelfBlocks and IgnoreNotWarningBlocks.
    static int TrayIconIndex(const std::vector<TServerData*>& servers);
    void UpdateTrayIcon(const std::vector<TServerData*>& servers);
    int IconIndex() const { return Index; }

    // Sound (PlaySoundOnWarning) and balloon (ShowBaloonOnWarning, icon shown); true when
    // either was given.
    bool Warn(const TServerData& server);
    static QString BalloonTitle() { return QStringLiteral("MSTallyvane"); }
    static QString BalloonText(const QString& serverName);

    // The WAV file to play for a WarningSoundPath: a bare file name is looked up beside the
    // program, then in the installed sounds folder, then in the desktop sound folders; a path
    // is taken as it is. Empty when nothing playable is found.
    static QString FindSoundFile(const QString& soundPath);

    void SetShown(bool shown);
    bool IsShown() const { return JvTrayIcon.isVisible(); }
    // tvAutoHide: minimising the window while the icon is shown hides it to the tray.
    bool AutoHide = false;
    // tvVisibleTaskBar: the application has its task-bar entry.
    bool VisibleTaskBar = true;

    void HideToTray();
    void RestoreFromTray();
    // The window was minimised by the user.
    void WindowMinimized();

    QSystemTrayIcon JvTrayIcon;
    QMenu TrayPM;

private:
    void PlayWarningSound();
    void IconActivated(QSystemTrayIcon::ActivationReason reason);

    QWidget& Window;
    const TImageList& States;
    int Index = 0;
    std::unique_ptr<QSoundEffect> Sound;
};
