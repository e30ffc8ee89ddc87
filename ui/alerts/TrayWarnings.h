// The notification-area icon (JvTrayIcon) with the worst state over all servers, the warning
// (sound and balloon), and hiding the application to the notification area and back.
#pragma once

#include <QMenu>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

class QDateTime;
class QSoundEffect;
class QWidget;
class TImageList;
class TServerData;

class TTrayWarnings : public QObject {
    Q_OBJECT
public:
    TTrayWarnings(QWidget& mainWindow, const TImageList& states);
    ~TTrayWarnings() override;

    // The icon index for these servers, in node order: 3 some server has blocks that count,
    // else 4 some server is in error, else 2. Blocks come first: an error elsewhere (a DR
    // server that refuses) must not hide them; it adds a small error mark to the blocks
    // picture instead (ErrorMarked). Muted servers count for neither. Reads IgnoreSelfBlocks
    // and IgnoreNotWarningBlocks.
    static int TrayIconIndex(const std::vector<TServerData*>& servers);
    static bool TrayErrorMark(const std::vector<TServerData*>& servers);
    // Counts every server anew and shows the icon.
    void UpdateTrayIcon(const std::vector<TServerData*>& servers);
    // One server's state may have changed: its share of the icon is counted again (so a
    // change costs the same with 5 servers or 5,000). ShowCounted sets the icon from the counts.
    void Recount(const TServerData& server);
    // The server goes away: nothing of it is kept.
    void Forget(const TServerData& server);
    void ShowCounted();
    int IconIndex() const { return Index; }
    // The blocks picture carries the error mark.
    bool ErrorMarked() const { return Marked; }

    // Sound (PlaySoundOnWarning) and balloon (ShowBaloonOnWarning, icon shown); true when
    // either will be given. Warnings are given together: the first one at once, those that
    // come within HoldOffMs of a given warning when that time is up, as one balloon naming
    // every server and one sound. With hundreds of servers a balloon per server would replace
    // one another faster than anyone can read them, and the sound would never stop.
    // The balloon carries each server's incident (IncidentText) under its sentence. The head's
    // last statement is read for it once per head, where the login may read it; the warning
    // waits up to StatementWaitMs for the answer.
    bool Warn(TServerData& server);
    int HoldOffMs = 1000;
    // A server that answered has stopped answering: the sound and a balloon that says so, by
    // the same settings as a warning, unless WarnWhenServerStops is off or the server is
    // muted. True when either is given. Once per outage: the caller says when.
    bool WarnStopped(const TServerData& server, const QDateTime& lastAnswer);
    static QString StoppedText(const QString& serverName, const QDateTime& lastAnswer);
    int StatementWaitMs = 800;
    static QString BalloonTitle() { return QStringLiteral("MSTallyvane"); }
    static QString BalloonText(const QString& serverName);
    // "A", "A and B", "A, B and C", "A, B and 15 more".
    static QString BalloonText(const QStringList& serverNames);
    // The sentence, then the incidents (with the server's name before each when there are
    // several), as many whole incidents as fit in maxLength characters.
    static QString BalloonText(const QStringList& serverNames, const QStringList& incidents,
                               int maxLength = 255);
    // The text of the last balloon given (also where balloons cannot be shown), and how many
    // warnings were given.
    QString LastBalloonText() const { return LastBalloon; }
    int WarningsGiven() const { return Given; }

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
    void GiveWarning();
    void IconActivated(QSystemTrayIcon::ActivationReason reason);
    // A server's share of the icon: 0, 1 blocks that count, 2 error.
    static int Share(const TServerData& server);
    void SetIndex(int index, bool marked);

    QWidget& Window;
    const TImageList& States;
    int Index = 0;
    bool Marked = false;
    QIcon BlocksWithError;
    std::unordered_map<const TServerData*, std::uint8_t> Shares;
    int Errors = 0;
    int Blocks = 0;
    struct TPending {
        const TServerData* Server = nullptr; // Forget drops it before the server goes
        QString Name;
        QString Incident;     // without the statement
        int HeadSpid = 0;     // whose statement goes with it, 0 for none
        bool Reading = false; // its statement is being read
    };
    // A head's statement, read once while it heads the server's worst chain.
    struct TKnownStatement {
        int Spid = 0;
        QString Text;
    };
    void ReadStatement(TServerData& server, TPending& pending);
    void StatementRead(const TServerData& server, int spid);
    void GiveWhenReady();
    std::vector<TPending> Pending; // warned since the last warning given
    std::unordered_map<const TServerData*, TKnownStatement> Statements;
    QTimer HoldOff;
    QTimer StatementWait;
    QString LastBalloon;
    int Given = 0;
#ifndef _WIN32
    std::unique_ptr<QSoundEffect> Sound; // Windows plays through PlaySound
#endif
};
