// TMainF: the program's one main window and the owner of everything that runs: one monitor
// per registered server (on the nodes of ServersTL), the process view of the focused server,
// the error log, the notification-area icon, the actions and the auto-refresh timer.
// Component names are the members' names; handlers are named after component and event.
#pragma once

#include "Actions.h"
#include "Icons.h"
#include "OutageWatch.h"
#include "ServerOwner.h"

#include <QMainWindow>
#include <QMenu>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

class QLabel;
class TBlockingBoard;
class TNoticeRelay;
class QSplitter;
class TDeadlockNotices;
class TErrorLog;
class THistoryRecording;
class TProcessView;
class TFirstStartHint;
class TServerListView;
class TServerNode;
class TTrayWarnings;
struct TServerInfo;

class TMainF : public QMainWindow, public IServerOwner {
    Q_OBJECT
public:
    // Builds the window and runs FormCreate; an error there is shown and skips the rest of
    // FormCreate, and the window is still created.
    explicit TMainF(QWidget* parent = nullptr);
    // Runs FormDestroy.
    ~TMainF() override;

    // IServerOwner
    void ServerChanged(TServerData& server) override;
    bool Warn(TServerData& server) override;
    void LogError(const std::string& serverName, const std::exception& error) override;
    // Into the history, and a tray notice.
    void DeadlocksRead(TServerData& server, const std::vector<TDeadlockReport>& reports) override;

    void AddServer(const TServerInfo& info);
    void UpdateServerNode(TServerNode& node);
    void ShowProcesses(TServerNode* node);
    void UpdateTrayIcon();
    void ApplySettings();
    void LoadServers();
    void SaveServers();

    // Image lists (shared pictures).
    TImageList ServerStatesIL = MakeServerStatesIL();
    TImageList ProcessesIL = MakeProcessesIL();
    TImageList LogImages = MakeLogImages();
    TImageList ToolbarIL = MakeToolbarIL();

    // Components.
    QToolBar* ToolBar1;
    TServerListView* ServersTL;
    QSplitter* ServerSplitter;
    TProcessView* ProcessesTL;
    QSplitter* ErrorSplitter;
    TErrorLog* ErrorsTL;
    QStatusBar* StatusBar1;
    QLabel* SummaryL;                // the focused server's blocking figures, in StatusBar1
    TFirstStartHint* FirstStartHint; // over ProcessesTL while no server is registered
    TActionList* ActionList;
    TAction* ServerRegisterA;
    TAction* ServerPropertiesA;
    TAction* ServerUnregisterA;
    TAction* RefreshA;
    TAction* QuitA;
    TAction* ShowBlocksA;
    TAction* ProcessInfoA;
    TAction* SettingsA;
    TAction* AutoRefreshA;
    TAction* HistoryA;
    TAction* SaveSnapshotA;
    TAction* BoardA;
    QMenu* ServersPM;
    QMenu* ProcessesPM;
    QMenu* ErrorsPM;
    QTimer AutoRefreshTimer;
    // A refresh round takes at least RefreshAtOnce servers in one go, then goes on in the next
    // pass of the event loop once RefreshSliceMs have passed.
    static constexpr int RefreshAtOnce = 64;
    static inline int RefreshSliceMs = 4;
    TTrayWarnings* Tray; // JvTrayIcon and TrayPM
    TDeadlockNotices* Notices;
    THistoryRecording* History;
    TBlockingBoard* Board; // "Blocking now", docked beside the process view
    TNoticeRelay* Relay;   // notices that leave the desk
    TOutageWatch Outages; // servers that stopped answering

    // Execute handlers.
    void ServerRegisterAExecute();
    void ServerPropertiesAExecute();
    void ServerUnregisterAExecute();
    void RefreshAExecute();
    void QuitAExecute();
    void ShowBlocksAExecute();
    void ProcessInfoAExecute();
    void SettingsAExecute();
    void AutoRefreshAExecute();
    void HistoryAExecute();
    void SaveSnapshotAExecute();
    void About1Click();
    void Clearerrors1Click();
    // The Escape rule; true when the key was consumed.
    bool FormKeyDown(int key);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateComponents();
    void CreateActions();
    void CreateMenus();
    void CreateFirstStartHint();
    void FormCreate();
    void FormDestroy();
    QStringList ServerNames(const TServerData* except) const;
    bool HasNode(const TServerNode* node) const;
    void ServersTLChangeNode();
    // The board's row was chosen: that server's process tree with the head selected.
    void ShowHead(TServerData* server, int spid);

    bool ShowsSnapshotOf(const TServerData* server) const;
    // The status line: the server's summary, and for a stale tree when it was read.
    QString SummaryText(const TServerData& server) const;

    void ScheduleTrayToolTip();
    // Says once when a server stops answering and when it answers again.
    void FollowOutage(TServerData& server);
    // One round of RefreshAExecute: the servers from RefreshNext on, for a few milliseconds.
    void RefreshRound();
    // Starts a round from the top; the automatic one skips servers whose reconnect waits.
    void StartRefreshRound(bool byUser);
    bool RoundByUser = true;
    int RefreshNext = -1; // the next server of the round, -1 when no round runs
    bool RefreshRoundPosted = false;
    bool Destroying = false;
    bool TrayToolTipPending = false;
    // What the process view shows: a rebuild is due when any of it changes.
    struct TShown {
        const TServerData* Server = nullptr;
        std::uint64_t Version = 0;
        std::uint8_t State = 0;
        bool OnlyBlocks = false;
    } Shown;
    // The server list file was read in full at start: only then may a save replace it.
    bool ServersLoaded = false;
    // The newest deadlock in the history per server (and the newest not dated ahead of this
    // clock), while the servers are loaded: their monitors read on from there.
    std::map<std::string, std::vector<std::int64_t>> KnownDeadlocks;
};
