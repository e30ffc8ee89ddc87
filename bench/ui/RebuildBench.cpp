// The main window watching many servers with the real refresh loop and the settings of the
// whole-program scale bench (1 s refresh, tray, sound, balloons, warn only once, history): how
// often the process view is rebuilt for each refresh of the focused server, and whether other
// servers' refreshes rebuild it at all. The view counts as rebuilt when its model is reset.
//
//   bench_view_rebuilds [servers=500] [seconds=15]
//
// Runs on the display it finds (the scale bench starts one), or offscreen without one.
#include "FileNames.h"
#include "MainForm.h"
#include "ProcessView.h"
#include "ServerData.h"
#include "ServerListFile.h"
#include "ServerListView.h"
#include "Settings.h"
#include "TdsSimProcess.h"
#include "WindowStateStore.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using tallyvane::testsupport::TdsSimProcess;

int main(int argc, char** argv) {
    const int servers = argc > 1 ? std::atoi(argv[1]) : 500;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 15;
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    InitFileNames(dir.filePath("tallyvane").toStdString());
    SetWindowStateFile(dir.filePath("window-state.ini"));
    ResetSettings();
    AutoRefresh = true;
    AutoRefreshInterval = 1;
    ShowInSystemTray = true;
    IgnoreSelfBlocks = false;
    IgnoreNotWarningBlocks = false;
    WarningTimeout = 3000;
    PlaySoundOnWarning = true;
    WarningSoundPath = TALLYVANE_WARNING_SOUND;
    ShowBaloonOnWarning = true;
    WarnOnlyOnce = true;
    SaveSettings();

    TdsSimProcess sim("demo", servers, std::chrono::seconds(60));
    std::vector<TServerInfo> list;
    for (int i = 0; i < servers; ++i) {
        TServerInfo info;
        info.Name = "SQL" + std::to_string(i);
        info.Enabled = true;
        info.ConnectionString = "Provider=SQLOLEDB.1;Data Source=127.0.0.1," +
                                std::to_string(sim.port(i)) +
                                ";User ID=sa;Password=Sim-Admin-1;Persist Security Info=True";
        info.Timeout = 5;
        list.push_back(info);
    }
    SaveServers(list);

    auto form = std::make_unique<TMainF>();
    form->show();
    form->ServersTL->setCurrentItem(form->ServersTL->Node(0));
    // The first round connects; counting starts once every server has a snapshot.
    auto snapshots = [&](int node) {
        return static_cast<long long>(form->ServersTL->Node(node)->Data()->Snapshots);
    };
    QElapsedTimer clock;
    clock.start();
    auto allHaveOne = [&] {
        for (int i = 0; i < servers; ++i)
            if (snapshots(i) == 0)
                return false;
        return true;
    };
    while (!allHaveOne() && clock.elapsed() < 30000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);

    int rebuilds = 0;
    QObject::connect(form->ProcessesTL->model(), &QAbstractItemModel::modelReset,
                     [&] { ++rebuilds; });
    std::vector<long long> before(servers);
    for (int i = 0; i < servers; ++i)
        before[i] = snapshots(i);
    clock.restart();
    while (clock.elapsed() < seconds * 1000LL)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    // Let the focused server's last query finish, so its snapshot and rebuild pair up.
    clock.restart();
    while (form->ServersTL->Node(0)->Data()->Busy && clock.elapsed() < 10000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    QApplication::processEvents();

    const long long focused = snapshots(0) - before[0];
    long long others = 0;
    for (int i = 1; i < servers; ++i)
        others += snapshots(i) - before[i];
    std::printf("The main window with %d servers, 1 s refresh, demo blocking, warnings on; the "
                "first server focused; %d s\n",
                servers, seconds);
    std::printf("  snapshots: focused server %lld, other servers %lld; process view rebuilds "
                "%d\n",
                focused, others, rebuilds);
    const bool met = focused > 0 && rebuilds == focused;
    std::printf("  goal: One view rebuild per refresh of the focused server, and no rebuild for "
                "other servers' refreshes -> %s\n",
                met ? "met" : "NOT met");
    form.reset();
    return 0;
}
