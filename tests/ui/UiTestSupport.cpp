#include "UiTestSupport.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QWidget>

std::unique_ptr<TServerData> MakeMonitor(IServerOwner& owner, const std::string& name) {
    TServerInfo info;
    info.Name = name;
    info.Enabled = false;
    info.ConnectionString = "Provider=SQLOLEDB.1;Data Source=127.0.0.1,1;User ID=sa;Password=x";
    return std::make_unique<TServerData>(owner, info);
}

void FillSnapshot(TServerData& server, const std::vector<TTestRow>& rows) {
    server.ProcessList.Clear();
    server.State = 0;
    for (const TTestRow& r : rows) {
        TProcessItem& item = *server.ProcessList.Add();
        item.Spid = r.Spid;
        item.Blocked = r.Blocked;
        item.WaitTime = r.WaitTime;
        item.Cpu = r.Cpu;
        item.HostName = r.HostName;
        item.LastWaitType = "LCK_M_X";
        item.WaitResource = "KEY: 5:1";
        if (r.Blocked != 0)
            server.State = 1;
    }
    server.ProcessList.BuildBlockTree();
}

TModalAnswerer::TModalAnswerer(std::function<void(QWidget*)> handler)
    : Handler(std::move(handler)) {
    connect(&Timer, &QTimer::timeout, this, [this] { Poll(); });
    Timer.start(10);
}

void TModalAnswerer::Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
        return;
    ++Count;
    if (auto* box = qobject_cast<QMessageBox*>(modal))
        Messages << box->windowTitle() + ": " + box->text();
    if (Handler) {
        Handler(modal);
        return;
    }
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        if (QAbstractButton* b = box->escapeButton())
            b->click();
        else
            box->reject();
        return;
    }
    if (auto* dialog = qobject_cast<QDialog*>(modal))
        dialog->reject();
    else
        modal->close();
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout);
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}
