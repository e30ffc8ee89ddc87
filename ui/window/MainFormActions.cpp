// TMainF: the Execute handlers of the actions and the refresh loop.
#include "AboutF.h"
#include "BlockingBoard.h"
#include "ErrorBox.h"
#include "ErrorLog.h"
#include "Errors.h"
#include "HistoryF.h"
#include "HistoryRecording.h"
#include "LiveDetails.h"
#include "MainForm.h"
#include "NoticeRelay.h"
#include "ProcessExport.h"
#include "ProcessInfoF.h"
#include "ProcessView.h"
#include "ServerData.h"
#include "ServerListView.h"
#include "ServerPropsF.h"
#include "Settings.h"
#include "SettingsF.h"
#include "TrayWarnings.h"

#include <QElapsedTimer>
#include <QMessageBox>

QStringList TMainF::ServerNames(const TServerData* except) const {
    QStringList names;
    for (const TServerData* s : ServersTL->Servers())
        if (s != except)
            names << QString::fromStdString(s->Info.Name);
    return names;
}

bool TMainF::HasNode(const TServerNode* node) const {
    for (int i = 0; i < ServersTL->NodeCount(); ++i)
        if (ServersTL->Node(i) == node)
            return true;
    return false;
}

void TMainF::RefreshAExecute() {
    StartRefreshRound(true);
}

void TMainF::StartRefreshRound(bool byUser) {
    AutoRefreshTimer.stop();
    RefreshNext = 0; // a refresh in the middle of a round starts it again from the top
    RoundByUser = byUser;
    RefreshRound();
}

void TMainF::RefreshRound() {
    // A round with hundreds of servers is spread over a few passes of the event loop, a few
    // milliseconds each, so the window still paints and answers meanwhile; a short list is
    // refreshed in one go. The timer is re-armed when the round ends.
    // The timer follows AutoRefresh on every path, so a failing node update never stops the
    // automatic refresh; re-arming restarts its countdown.
    struct TRearm {
        TMainF* Form;
        bool RoundGoesOn = false;
        ~TRearm() {
            if (RoundGoesOn)
                return;
            Form->RefreshNext = -1;
            if (AutoRefresh && !Form->Destroying)
                Form->AutoRefreshTimer.start();
            else
                Form->AutoRefreshTimer.stop();
        }
    } rearm{this};
    QElapsedTimer slice;
    slice.start();
    for (int started = 0; RefreshNext >= 0 && RefreshNext < ServersTL->NodeCount(); ++started) {
        if (started >= RefreshAtOnce && slice.elapsed() >= RefreshSliceMs && !Destroying) {
            rearm.RoundGoesOn = true;
            if (!RefreshRoundPosted) {
                RefreshRoundPosted = true;
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        RefreshRoundPosted = false;
                        if (RefreshNext >= 0)
                            GuardedCall([this] { RefreshRound(); });
                    },
                    Qt::QueuedConnection);
            }
            return;
        }
        TServerNode* node = ServersTL->Node(RefreshNext++);
        TServerData* server = node->Data();
        if (!server || server->Busy)
            continue;
        server->Reconnect.SetInterval(std::chrono::seconds(AutoRefreshInterval));
        if (!RoundByUser && !server->Reconnect.Due())
            continue;
        server->Refresh();
        UpdateServerNode(*node);
    }
}

void TMainF::ServerRegisterAExecute() {
    TServerInfo info;
    info.Name.clear();
    info.Enabled = false;
    info.ConnectionString.clear();
    info.Timeout = 0;
    if (!EditServerProperties(info, true, ServerNames(nullptr), this))
        return;
    AddServer(info);
    SaveServers();
}

void TMainF::ServerPropertiesAExecute() {
    TServerNode* node = ServersTL->FocusedNode();
    TServerData* server = node ? node->Data() : nullptr;
    if (!server)
        return;
    TServerInfo info = server->Info;
    if (!EditServerProperties(info, false, ServerNames(server), this))
        return;
    // The dialog ran an event loop; the node is used again only if it still exists.
    if (!HasNode(node) || node->Data() != server)
        return;
    server->ApplyServerInfo(info);
    if (!server->Busy)
        server->Refresh();
    UpdateServerNode(*node);
    SaveServers();
}

void TMainF::ServerUnregisterAExecute() {
    TServerNode* node = ServersTL->FocusedNode();
    if (!node)
        return;
    const auto answer =
        QMessageBox::question(this, "Confirm", "Are you sure?", QMessageBox::Yes | QMessageBox::No);
    if (answer != QMessageBox::Yes || !HasNode(node))
        return;
    if (node->Data() != nullptr)
        History->ServerRemoved(*node->Data());
    if (const TServerData* server = node->Data()) {
        Tray->Forget(*server);
        Relay->Forget(*server);
        Board->Forget(*server);
        Outages.Forget(*server);
    }
    if (Shown.Server == node->Data())
        Shown = {};
    node->FreeData();
    // Deleting the focused node moves the focus; the process view follows it through
    // ServersTLChangeNode. Rebuilding once more afterwards makes sure it never keeps rows of
    // the freed monitor, whichever way the focus moved.
    delete node;
    ShowProcesses(ServersTL->FocusedNode());
    SaveServers();
}

void TMainF::QuitAExecute() {
    close();
}

void TMainF::ShowBlocksAExecute() {
    ShowProcesses(ServersTL->FocusedNode());
    UpdateTrayIcon();
}

void TMainF::ProcessInfoAExecute() {
    const QString text = ProcessesTL->FocusedSpidText();
    bool ok = false;
    const std::int32_t spid = text.toInt(&ok);
    if (!ok)
        throw Exception("'" + text.toStdString() + "' is not a valid integer value");
    TServerNode* node = ServersTL->FocusedNode();
    TServerData* server = node ? node->Data() : nullptr;
    if (!server)
        return;
    // The session as the latest snapshot has it (a view held still may show an older row),
    // copied before the dialog's event loop replaces the snapshot; the row's own cells when
    // the snapshot no longer holds it.
    TProcessDetails details = LiveDetails(*server, ProcessesTL->Model(), ProcessesTL->FocusedRow());
    details.Spid = spid;
    const auto recordKill = [this](TKillRecord kill) { History->RecordKill(std::move(kill)); };
    if (ShowProcessInfo(*server, details, this, recordKill) && HasNode(node) &&
        node->Data() == server)
        server->Refresh();
}

void TMainF::SettingsAExecute() {
    if (EditSettings(this))
        ApplySettings();
}

void TMainF::AutoRefreshAExecute() {
    AutoRefresh = !AutoRefresh;
    ApplySettings();
    SaveSettings();
}

void TMainF::SaveSnapshotAExecute() {
    const TServerData* server = ServersTL->FocusedServer();
    if (server)
        SaveSnapshotCsv(server->ProcessList, QString::fromStdString(server->Info.Name), this);
}

void TMainF::About1Click() {
    ShowAbout(this);
}

void TMainF::Clearerrors1Click() {
    ErrorsTL->Clearerrors1Click();
}

void TMainF::HistoryAExecute() {
    QStringList servers;
    for (const TServerData* server : ServersTL->Servers())
        servers << QString::fromStdString(server->Info.Name);
    THistoryF* window = ShowHistory(THistoryRecording::FileName(), servers, this);
    // The window follows what the recorder writes while it is open.
    connect(History, &THistoryRecording::Committed, window, &THistoryF::FollowRecorder,
            Qt::UniqueConnection);
}
