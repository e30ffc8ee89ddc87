// The main window's test fixture: a fresh profile folder, settings that keep the first-run dialog
// away, and the window started on a given server list.
#pragma once

#include "FileNames.h"
#include "MainForm.h"
#include "ServerListFile.h"
#include "ServerListView.h"
#include "Settings.h"
#include "TdsSimProcess.h"
#include "UiTestSupport.h"
#include "WindowStateStore.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace mainformtest {
using tallyvane::testsupport::TdsSimProcess;

// A port on which nobody listens: bound for a moment, then released.
inline int ClosedPort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    const int port = s.serverPort();
    s.close();
    return port;
}

inline std::string ConnectionTo(int port, const std::string& user = "sa",
                                const std::string& password = "Sim-Admin-1") {
    return "Provider=SQLOLEDB.1;Data Source=127.0.0.1," + std::to_string(port) +
           ";User ID=" + user + ";Password=" + password + ";Persist Security Info=True";
}

inline TServerInfo Server(const std::string& name, bool enabled, const std::string& connection) {
    TServerInfo info;
    info.Name = name;
    info.Enabled = enabled;
    info.ConnectionString = connection;
    info.Timeout = 5;
    return info;
}

class MainFormTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    TModalAnswerer Answerer; // answers whatever modal box a step opens (No / Cancel)
    std::unique_ptr<TMainF> Form;

    void SetUp() override {
        InitFileNames(Dir.filePath("tallyvane").toStdString());
        SetWindowStateFile(Dir.filePath("window-state.ini"));
        ResetSettings();
        AutoRefresh = false; // the tests refresh by hand unless they say otherwise
        SaveSettings();      // a settings file exists, so the first-run dialog stays away
    }
    void TearDown() override {
        Form.reset();
        ResetSettings();
        SetWindowStateFile(QString());
    }
    void Start(const std::vector<TServerInfo>& servers) {
        SaveServers(servers);
        Form = std::make_unique<TMainF>();
        Form->show();
    }
    QByteArray ServersFile() const {
        QFile f(QString::fromStdString(ServersFileName));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    int Icon(int node) const { return Form->ServersTL->Node(node)->data(0, Qt::UserRole).toInt(); }
    TServerData& Monitor(int node) const { return *Form->ServersTL->Node(node)->Data(); }
    bool Enabled(TAction* a) const {
        Form->ActionList->UpdateAll();
        return a->isEnabled();
    }
};

} // namespace mainformtest
