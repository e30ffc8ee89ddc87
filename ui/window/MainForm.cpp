// TMainF: components, actions, menus and tool bar, creation and destruction, the owner
// call-backs. The action handlers are in MainFormActions.cpp.
#include "MainForm.h"

#include "BlockingBoard.h"
#include "DeadlockNotices.h"
#include "ErrorBox.h"
#include "ErrorLog.h"
#include "Errors.h"
#include "FileVersionInfo.h"
#include "FirstStartHint.h"
#include "HistoryRecording.h"
#include "MuteState.h"
#include "NoticeRelay.h"
#include "ProcessView.h"
#include "ServerData.h"
#include "ServerListFile.h"
#include "ServerListView.h"
#include "Settings.h"
#include "SettingsF.h"
#include "StatusSummary.h"
#include "TrayWarnings.h"
#include "WindowState.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QPalette>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>

namespace {
const QString kStoreRoot = QString::fromLatin1(WindowStateRoot);
}

TMainF::TMainF(QWidget* parent) : QMainWindow(parent) {
    setObjectName("MainF");
    setWindowTitle("MS Tallyvane");
    setGeometry(197, 196, 1164, 694);
    CreateComponents();
    CreateActions();
    CreateMenus();
    CreateFirstStartHint();
    qApp->installEventFilter(this); // key preview: this window sees keys before its controls
    GuardedCall([this] { FormCreate(); });
}

TMainF::~TMainF() {
    qApp->removeEventFilter(this);
    GuardedCall([this] { FormDestroy(); });
    // Whatever FormDestroy did not get to: no monitor outlives the window.
    for (int i = 0; i < ServersTL->NodeCount(); ++i)
        ServersTL->Node(i)->FreeData();
}

void TMainF::CreateComponents() {
    ToolBar1 = addToolBar("ToolBar1");
    ToolBar1->setObjectName("ToolBar1");
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setIconSize(ToolbarIL.Size());
    ToolBar1->setToolButtonStyle(Qt::ToolButtonIconOnly);
    ToolBar1->toggleViewAction()->setVisible(false);
    setContextMenuPolicy(Qt::NoContextMenu);

    ServersTL = new TServerListView(ServerStatesIL);
    ProcessesTL = new TProcessView(ProcessesIL);
    ErrorsTL = new TErrorLog(LogImages);
    // The selection stays highlighted when a grid loses the focus.
    for (QWidget* grid : std::initializer_list<QWidget*>{ServersTL, ProcessesTL}) {
        QPalette palette = grid->palette();
        for (auto role : {QPalette::Highlight, QPalette::HighlightedText})
            palette.setColor(QPalette::Inactive, role, palette.color(QPalette::Active, role));
        grid->setPalette(palette);
    }

    ServerSplitter = new QSplitter(Qt::Horizontal);
    ServerSplitter->setObjectName("ServerSplitter");
    ServerSplitter->setHandleWidth(3);
    ServerSplitter->setChildrenCollapsible(false);
    ServerSplitter->setOpaqueResize(true);
    ServerSplitter->addWidget(ServersTL);
    ServerSplitter->addWidget(ProcessesTL);
    ServerSplitter->setStretchFactor(0, 0);
    ServerSplitter->setStretchFactor(1, 1);
    ServerSplitter->setSizes({181, 980});

    ErrorSplitter = new QSplitter(Qt::Vertical);
    ErrorSplitter->setObjectName("ErrorSplitter");
    ErrorSplitter->setHandleWidth(3);
    ErrorSplitter->setChildrenCollapsible(false);
    ErrorSplitter->setOpaqueResize(true);
    ErrorSplitter->addWidget(ServerSplitter);
    ErrorSplitter->addWidget(ErrorsTL);
    ErrorSplitter->setStretchFactor(0, 1);
    ErrorSplitter->setStretchFactor(1, 0);
    ErrorSplitter->setSizes({500, 114});
    setCentralWidget(ErrorSplitter);

    StatusBar1 = new QStatusBar;
    StatusBar1->setObjectName("StatusBar1");
    setStatusBar(StatusBar1);
    SummaryL = new QLabel;
    SummaryL->setObjectName("SummaryL");
    SummaryL->setTextFormat(Qt::PlainText); // server names are no markup
    StatusBar1->addWidget(SummaryL, 1);

    ActionList = new TActionList(this);
    Tray = new TTrayWarnings(*this, ServerStatesIL);
    Tray->setParent(this);
    Notices = new TDeadlockNotices(Tray->JvTrayIcon);
    Notices->setParent(Tray);
    History = new THistoryRecording(
        [this](const std::string& message) { ErrorsTL->LogError("", Exception(message)); }, this);

    Relay = new TNoticeRelay(
        [this](const std::string& message) { ErrorsTL->LogError("", Exception(message)); }, this);
    Board = new TBlockingBoard(this);
    Board->Servers = [this] { return ServersTL->Servers(); };
    addDockWidget(Qt::RightDockWidgetArea, Board);
    Board->hide();
    connect(Board, &TBlockingBoard::HeadChosen, this, [this](TServerData* server, int spid) {
        GuardedCall([=, this] { ShowHead(server, spid); });
    });

    AutoRefreshTimer.setObjectName("AutoRefreshTimer");
    AutoRefreshTimer.setTimerType(Qt::PreciseTimer);
    connect(&AutoRefreshTimer, &QTimer::timeout, this,
            [this] { GuardedCall([this] { StartRefreshRound(false); }); });

    ProcessesTL->FocusedServer = [this] { return ServersTL->FocusedServer(); };
    connect(ServersTL, &QTreeWidget::currentItemChanged, this,
            [this] { GuardedCall([this] { ServersTLChangeNode(); }); });
    connect(ServersTL, &TServerListView::DoubleClicked, this,
            [this] { GuardedCall([this] { ServerPropertiesA->Execute(); }); });
    connect(ProcessesTL, &TProcessView::DoubleClicked, this,
            [this] { GuardedCall([this] { ProcessInfoA->Execute(); }); });
    // The view held still for the user; now it shows the latest snapshot in its own order.
    connect(ProcessesTL, &TProcessView::CatchUp, this,
            [this] { GuardedCall([this] { ShowProcesses(ServersTL->FocusedNode()); }); });
}

void TMainF::CreateActions() {
    auto make = [this](const char* caption, const char* hint, int image) {
        TAction* a = ActionList->Add(QString::fromUtf8(caption), QString::fromUtf8(hint));
        if (image >= 0)
            a->setIcon(ToolbarIL.Icon(image));
        a->Guard = [](const std::function<void()>& f) { GuardedCall(f); };
        addAction(a); // shortcuts work wherever the focus is in this window
        return a;
    };
    ServerRegisterA = make("Register...", "Register server", 3);
    ServerPropertiesA = make("Properties...", "Edit server's properties", 2);
    ServerUnregisterA = make("Unregister...", "Unregister server", 4);
    RefreshA = make("Refresh", "Refresh servers", 1);
    QuitA = make("Quit", "Quit program", 0);
    ShowBlocksA = make("Show blocks", "Show only blocking and blocked processes", 5);
    ProcessInfoA = make("Process info", "", -1);
    SettingsA = make("Settings", "Settings", 6);
    AutoRefreshA = make("Autorefresh", "Authomatic refresh", 7);
    HistoryA = make("Blocking history...", "Blocking episodes recorded so far", 8);
    SaveSnapshotA =
        make("Save snapshot\u2026", "Save the focused server's process tree as CSV", -1);
    BoardA =
        make("Blocking now", "Every server's head blockers, the one that hurts most first", -1);
    BoardA->setIcon(style()->standardIcon(QStyle::SP_FileDialogDetailedView));
    BoardA->setCheckable(true);
    BoardA->AutoCheck = true;
    BoardA->OnExecute = [this] { Board->setVisible(BoardA->isChecked()); };
    BoardA->OnUpdate = [this](TAction& a) { a.setChecked(!Board->isHidden()); };

    RefreshA->setShortcut(QKeySequence(Qt::Key_F5));
    RefreshA->setShortcutContext(Qt::WindowShortcut);
    ShowBlocksA->setCheckable(true);
    ShowBlocksA->AutoCheck = true;
    AutoRefreshA->setCheckable(true);

    ServerRegisterA->OnExecute = [this] { ServerRegisterAExecute(); };
    ServerPropertiesA->OnExecute = [this] { ServerPropertiesAExecute(); };
    ServerUnregisterA->OnExecute = [this] { ServerUnregisterAExecute(); };
    RefreshA->OnExecute = [this] { RefreshAExecute(); };
    QuitA->OnExecute = [this] { QuitAExecute(); };
    ShowBlocksA->OnExecute = [this] { ShowBlocksAExecute(); };
    ProcessInfoA->OnExecute = [this] { ProcessInfoAExecute(); };
    SettingsA->OnExecute = [this] { SettingsAExecute(); };
    AutoRefreshA->OnExecute = [this] { AutoRefreshAExecute(); };
    HistoryA->OnExecute = [this] { HistoryAExecute(); };
    SaveSnapshotA->OnExecute = [this] { SaveSnapshotAExecute(); };
    SaveSnapshotA->OnUpdate = [this](TAction& a) {
        const TServerData* server = ServersTL->FocusedServer();
        a.setEnabled(server && server->State != 2 && server->ProcessList.Count() > 0);
    };

    auto focusedServerNode = [this](TAction& a) { a.setEnabled(ServersTL->FocusedNode()); };
    ServerPropertiesA->OnUpdate = focusedServerNode;
    ServerUnregisterA->OnUpdate = focusedServerNode;
    RefreshA->OnUpdate = [this](TAction& a) { a.setEnabled(ServersTL->NodeCount() > 0); };
    ProcessInfoA->OnUpdate = [this](TAction& a) {
        // The monitor is asked only when a process row is focused. A row whose session ended
        // while the view held still has nobody left to show.
        const int row = ProcessesTL->FocusedRow();
        bool enabled = row >= 0 && !ProcessesTL->Model().Ended(row) &&
                       !ProcessesTL->Model().Stale(); // a server that stopped answering
        if (enabled) {
            const TServerData* server = ServersTL->FocusedServer();
            // VIEW SERVER STATE reads any session's last command; kill is decided in the dialog.
            enabled = server && (server->IsSysAdmin || server->CanViewServerState);
        }
        a.setEnabled(enabled);
    };
    AutoRefreshA->OnUpdate = [](TAction& a) { a.setChecked(AutoRefresh); };
}

void TMainF::CreateMenus() {
    QMenu* servers = menuBar()->addMenu("Servers");
    servers->addAction(ServerRegisterA);
    servers->addAction(ServerUnregisterA);
    servers->addSeparator();
    servers->addAction(ServerPropertiesA);
    servers->addSeparator();
    servers->addAction(SettingsA);
    servers->addSeparator();
    servers->addAction(QuitA);
    QMenu* processes = menuBar()->addMenu("Processes");
    processes->addAction(ShowBlocksA);
    processes->addAction(HistoryA);
    processes->addAction(BoardA);
    processes->addSeparator();
    processes->addAction(RefreshA);
    processes->addSeparator();
    processes->addAction(SaveSnapshotA);
    QMenu* help = menuBar()->addMenu("?");
    help->addAction("About...", this, [this] { GuardedCall([this] { About1Click(); }); });

    ServersPM = new QMenu(this);
    ServersPM->addAction(ServerRegisterA);
    ServersPM->addAction(ServerUnregisterA);
    ServersPM->addSeparator();
    ServersPM->addAction(ServerPropertiesA);
    ServersPM->setDefaultAction(ServerPropertiesA);
    AddMuteItems(
        *ServersPM, [this] { return ServersTL->FocusedServer(); },
        [this](TServerData& server) {
            if (TServerNode* node = ServersTL->FindNode(&server))
                UpdateServerNode(*node);
        });
    ProcessesPM = new QMenu(this);
    ProcessesPM->addAction(ProcessInfoA);
    ProcessesPM->setDefaultAction(ProcessInfoA);
    ProcessesPM->addAction(SaveSnapshotA);
    ErrorsPM = new QMenu(this);
    ErrorsPM->addAction("Clear errors", this,
                        [this] { GuardedCall([this] { Clearerrors1Click(); }); });
    Tray->TrayPM.addAction(QuitA);

    auto popup = [this](QWidget* grid, QMenu* menu) {
        grid->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(grid, &QWidget::customContextMenuRequested, this, [this, grid, menu](QPoint pos) {
            ActionList->UpdateAll();
            auto* view = qobject_cast<QAbstractItemView*>(grid);
            menu->popup(view ? view->viewport()->mapToGlobal(pos) : grid->mapToGlobal(pos));
        });
    };
    popup(ServersTL, ServersPM);
    popup(ProcessesTL, ProcessesPM);
    popup(ErrorsTL, ErrorsPM);

    ToolBar1->addAction(QuitA);
    ToolBar1->addSeparator();
    ToolBar1->addAction(SettingsA);
    ToolBar1->addSeparator();
    ToolBar1->addAction(ServerRegisterA);
    ToolBar1->addAction(ServerUnregisterA);
    ToolBar1->addSeparator();
    ToolBar1->addAction(RefreshA);
    ToolBar1->addAction(AutoRefreshA);
    ToolBar1->addSeparator();
    ToolBar1->addAction(ShowBlocksA);
    ToolBar1->addAction(HistoryA);
    ToolBar1->addAction(BoardA);
    for (QAction* a : ToolBar1->actions())
        if (auto* b = qobject_cast<QToolButton*>(ToolBar1->widgetForAction(a)))
            b->setMinimumSize(31, 30);
}

void TMainF::CreateFirstStartHint() {
    FirstStartHint = new TFirstStartHint(*ProcessesTL, *ServerRegisterA);
    // Tied to the hint and reading the model alone: the model still signals while the window's
    // parts are being destroyed.
    QAbstractItemModel* servers = ServersTL->model();
    TFirstStartHint* hint = FirstStartHint;
    const auto follow = [servers, hint] { hint->setVisible(servers->rowCount() == 0); };
    connect(servers, &QAbstractItemModel::rowsInserted, hint, follow);
    connect(servers, &QAbstractItemModel::rowsRemoved, hint, follow);
    connect(servers, &QAbstractItemModel::modelReset, hint, follow);
    follow();
}

void TMainF::FormCreate() {
    setWindowTitle(windowTitle() + " ver." +
                   GetVersionText(QCoreApplication::applicationFilePath()));
    Tray->JvTrayIcon.setToolTip(windowTitle());
    FirstRunSettings();
    // A file that cannot be read whole is reported and left alone (neither is saved over); the
    // program runs on with what it has.
    try {
        LoadSettings();
    } catch (const std::exception& error) {
        ErrorsTL->LogError(std::string(), error);
    }
    RestoreWindowState({this, ShowBlocksA, ServersTL, ErrorsTL, false}, kStoreRoot);
    LoadListLayout(ServersTL, kStoreRoot + "ServersTL");
    LoadListLayout(ProcessesTL, kStoreRoot + "ProcessesTL");
    LoadListLayout(ErrorsTL, kStoreRoot + "ErrorsTL");
    Board->RestoreState(kStoreRoot + "BlockingBoard");
    try {
        LoadServers();
    } catch (const std::exception& error) {
        ErrorsTL->LogError(std::string(), error);
        FirstStartHint->ShowListRefused(QString::fromUtf8(error.what()));
    }
    RefreshA->Execute();
    ApplySettings();
}

void TMainF::FormDestroy() {
    Destroying = true;
    AutoRefreshTimer.stop();
    History->Stop();
    const bool minimized = !Tray->VisibleTaskBar || isMinimized();
    SaveWindowState({this, ShowBlocksA, ServersTL, ErrorsTL, minimized}, kStoreRoot);
    SaveListLayout(ServersTL, kStoreRoot + "ServersTL");
    SaveListLayout(ProcessesTL, kStoreRoot + "ProcessesTL");
    SaveListLayout(ErrorsTL, kStoreRoot + "ErrorsTL");
    Board->SaveState(kStoreRoot + "BlockingBoard");
    for (int i = 0; i < ServersTL->NodeCount(); ++i)
        ServersTL->Node(i)->FreeData();
}

void TMainF::ApplySettings() {
    AutoRefreshTimer.stop();
    if (AutoRefresh) {
        AutoRefreshTimer.setInterval(static_cast<int>(std::uint32_t(AutoRefreshInterval) * 1000u));
        AutoRefreshTimer.start();
    }
    UpdateTrayIcon();
    History->ApplySettings();
    Relay->ApplySettings();
    Tray->SetShown(ShowInSystemTray);
    Tray->AutoHide = AutoHideOnMinimize;
}

void TMainF::LoadServers() {
    KnownDeadlocks = THistoryRecording::NewestDeadlockTimes();
    for (const TServerInfo& info : ::LoadServers())
        AddServer(info);
    KnownDeadlocks.clear();
    ServersLoaded = true;
}

void TMainF::SaveServers() {
    // A start that failed before the list was read must not replace it with what this run
    // registered since.
    if (!ServersLoaded)
        throw Exception("The server list \"" + ServersFileName +
                        "\" was not read at start, so it is not saved now. Restart the program "
                        "to load it");
    std::vector<TServerInfo> servers;
    for (TServerData* s : ServersTL->Servers())
        servers.push_back(s->Info);
    ::SaveServers(servers);
}

void TMainF::AddServer(const TServerInfo& info) {
    auto monitor = std::make_unique<TServerData>(*this, info);
    monitor->ReadsDeadlocks = true;
    // A server the history knows nothing of: what its ring buffer kept of the last day is
    // read once into the history (the notices announce nothing from before the start).
    monitor->DeadlockBacklog = std::chrono::hours(24);
    if (const auto known = KnownDeadlocks.find(info.Name); known != KnownDeadlocks.end())
        for (const std::int64_t time : known->second)
            monitor->SetDeadlocksKnownUpTo(time);
    TServerNode* node = ServersTL->AppendNode(std::move(monitor));
    UpdateServerNode(*node);
}

void TMainF::UpdateServerNode(TServerNode& node) {
    ServersTL->ShowNodeState(node);
    if (TServerData* server = node.Data())
        Tray->Recount(*server);
    // The view follows the focused server's snapshot; a call that brings no new snapshot (the
    // busy icon at the start of a refresh, the second call-back at its end) leaves it be.
    if (&node != ServersTL->FocusedNode())
        return;
    if (!ShowsSnapshotOf(node.Data()))
        ShowProcesses(&node);
    else if (const TServerData* server = node.Data())
        SummaryL->setText(SummaryText(*server)); // busy, muted: the line follows the state
}

bool TMainF::ShowsSnapshotOf(const TServerData* server) const {
    return server && server == Shown.Server && server->ProcessList.Version() == Shown.Version &&
           server->State == Shown.State && ShowBlocksA->isChecked() == Shown.OnlyBlocks;
}

void TMainF::ShowProcesses(TServerNode* node) {
    TServerData* server = node ? node->Data() : nullptr;
    Shown = {};
    ProcessesTL->ShowProcesses(server, ShowBlocksA->isChecked());
    if (server) {
        Shown = {server, server->ProcessList.Version(), server->State, ShowBlocksA->isChecked()};
        // Blocked rows' wait resources name databases by id; their names come with one query.
        if (server->State == 1)
            server->RequestDatabaseNames();
    }
    SummaryL->setText(server ? SummaryText(*server) : QString());
}

QString TMainF::SummaryText(const TServerData& server) const {
    QString text = ServerSummary(server);
    if (&server != Shown.Server || !ProcessesTL->Model().Stale())
        return text;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        server.SnapshotTime.time_since_epoch())
                        .count();
    text += " · last known tree, read at " +
            QDateTime::fromMSecsSinceEpoch(ms).time().toString(QStringLiteral("HH:mm:ss"));
    if (Outages.IsDown(server))
        text +=
            ", down since " + Outages.DownSince(server).time().toString(QStringLiteral("HH:mm:ss"));
    return text;
}

void TMainF::ServersTLChangeNode() {
    // The focused server is also the selected one, whichever way the focus came.
    if (TServerNode* node = ServersTL->FocusedNode(); node && !node->isSelected())
        node->setSelected(true);
    ShowProcesses(ServersTL->FocusedNode());
}

void TMainF::ShowHead(TServerData* server, int spid) {
    TServerNode* node = ServersTL->FindNode(server);
    if (!node)
        return;
    if (spid > 0)
        server->SelectedSpid = spid;
    if (ServersTL->FocusedNode() != node)
        ServersTL->setCurrentItem(node); // rebuilds the process view for it
    else
        ShowProcesses(node);
    ProcessesTL->setFocus();
}

void TMainF::ScheduleTrayToolTip() {
    // Once per burst of call-backs: with many servers, each finishing its refresh, the worst
    // one is picked once.
    if (TrayToolTipPending || Destroying)
        return;
    TrayToolTipPending = true;
    QTimer::singleShot(0, this, [this] {
        TrayToolTipPending = false;
        if (!Destroying)
            Tray->JvTrayIcon.setToolTip(TrayToolTip(windowTitle(), ServersTL->Servers()));
    });
}

void TMainF::UpdateTrayIcon() {
    const std::vector<TServerData*> servers = ServersTL->Servers();
    Tray->UpdateTrayIcon(servers);
    Tray->JvTrayIcon.setToolTip(TrayToolTip(windowTitle(), servers));
}

void TMainF::ServerChanged(TServerData& server) {
    // The tray icon is recomputed also when updating the node fails.
    struct TTray {
        TMainF* Form;
        ~TTray() {
            Form->Tray->ShowCounted();
            Form->ScheduleTrayToolTip();
        }
    } tray{this};
    if (Destroying)
        return;
    History->ServerChanged(server);
    Relay->ServerChanged(server);
    Board->ServerChanged(server);
    FollowOutage(server);
    if (TServerNode* node = ServersTL->FindNode(&server))
        UpdateServerNode(*node);
}

void TMainF::FollowOutage(TServerData& server) {
    const QDateTime now = QDateTime::currentDateTime();
    switch (Outages.Update(server, now)) {
    case TOutageWatch::TChange::Down: {
        ErrorsTL->MarkDown(server.Info.Name, now);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            server.SnapshotTime.time_since_epoch())
                            .count();
        Tray->WarnStopped(server, ms > 0 ? QDateTime::fromMSecsSinceEpoch(ms) : QDateTime());
        break;
    }
    case TOutageWatch::TChange::Recovered:
        ErrorsTL->MarkRecovered(server.Info.Name, Outages.DownSince(server), now);
        break;
    case TOutageWatch::TChange::None:
        break;
    }
}

bool TMainF::Warn(TServerData& server) {
    return Tray->Warn(server);
}

void TMainF::LogError(const std::string& serverName, const std::exception& error) {
    ErrorsTL->LogError(serverName, error);
}

void TMainF::DeadlocksRead(TServerData& server, const std::vector<TDeadlockReport>& reports) {
    if (Destroying || reports.empty())
        return;
    Notices->Announce(server, reports);
    Relay->DeadlocksRead(server, reports);
    History->DeadlocksRead(server, reports);
}

bool TMainF::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget && widget->window() == this) {
            const auto* key = static_cast<QKeyEvent*>(event);
            bool consumed = false;
            GuardedCall([&] { consumed = FormKeyDown(key->key()); });
            if (consumed)
                return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

bool TMainF::FormKeyDown(int key) {
    if (key != Qt::Key_Escape)
        return false;
    if (ShowInSystemTray && AutoHideOnMinimize)
        Tray->HideToTray();
    return true;
}

void TMainF::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized())
        Tray->WindowMinimized();
}

void TMainF::closeEvent(QCloseEvent* event) {
    // Closing the main window ends the program, also while it is hidden to the tray.
    event->accept();
    QCoreApplication::quit();
}
