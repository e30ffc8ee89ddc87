// Alerts in the real window against tdssim: the balloon names the incident (head, login,
// program, how many wait and how long, the head's statement) and the tray tooltip keeps live
// blocking in front of a muted server that refuses connections.
#include "FileNames.h"
#include "MainForm.h"
#include "MuteState.h"
#include "ServerListFile.h"
#include "ServerListView.h"
#include "Settings.h"
#include "TdsSimProcess.h"
#include "TrayWarnings.h"
#include "UiTestSupport.h"
#include "WindowStateStore.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using tallyvane::testsupport::TdsSimProcess;

namespace {

int ClosedPort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    const int port = s.serverPort();
    s.close();
    return port;
}

TServerInfo Server(const std::string& name, int port) {
    TServerInfo info;
    info.Name = name;
    info.Enabled = true;
    info.ConnectionString = "Provider=SQLOLEDB.1;Data Source=127.0.0.1," + std::to_string(port) +
                            ";User ID=sa;Password=Sim-Admin-1;Persist Security Info=True";
    info.Timeout = 5;
    return info;
}

class AlertsTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    TModalAnswerer Answerer;
    std::unique_ptr<TMainF> Form;

    void SetUp() override {
        InitFileNames(Dir.filePath("tallyvane").toStdString());
        SetWindowStateFile(Dir.filePath("window-state.ini"));
        ResetSettings();
        AutoRefresh = false;
        PlaySoundOnWarning = false;
        ShowBaloonOnWarning = true;
        ShowInSystemTray = true;
        WarningTimeout = 1000;
        SaveSettings();
    }
    void TearDown() override {
        Form.reset();
        ResetSettings();
        SetWindowStateFile(QString());
    }
    TServerData& Monitor(int node) const { return *Form->ServersTL->Node(node)->Data(); }
    bool Idle() const {
        for (int i = 0; i < Form->ServersTL->NodeCount(); ++i)
            if (Monitor(i).Busy)
                return false;
        return true;
    }
};

TEST_F(AlertsTest, TheBalloonCarriesTheIncidentAndItsStatement) {
    TdsSimProcess sim("demo");
    AutoRefresh = true;
    AutoRefreshInterval = 1;
    SaveSettings();
    SaveServers({Server("LIVE", sim.port(0))});
    Form = std::make_unique<TMainF>();
    Form->show();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return Form->Tray->WarningsGiven() > 0 &&
                   Form->Tray->LastBalloonText().count('\n') >= 3;
        },
        std::chrono::seconds(20)))
        << Form->Tray->LastBalloonText().toStdString();
    const QStringList lines = Form->Tray->LastBalloonText().split('\n');
    ASSERT_EQ(lines.size(), 4) << lines.join("|").toStdString();
    EXPECT_EQ(lines[0], "Warning! LIVE have blocks!");
    const QRegularExpression head("^Head blocker SPID (\\d+) · (.+) · (.+)$");
    const auto m = head.match(lines[1]);
    ASSERT_TRUE(m.hasMatch()) << lines[1].toStdString();
    EXPECT_TRUE(
        QRegularExpression("^\\d+ blocked, longest wait \\d+\\.\\d s").match(lines[2]).hasMatch())
        << lines[2].toStdString();
    // The statement is the head's own, read from the server.
    const std::string buffer = Monitor(0).GetInputBuffer(m.captured(1).toInt());
    EXPECT_FALSE(lines[3].isEmpty());
    EXPECT_TRUE(QString::fromStdString(buffer).simplified().startsWith(
        lines[3].chopped(lines[3].endsWith(QChar(0x2026)) ? 1 : 0)))
        << buffer << " / " << lines[3].toStdString();
}

TEST_F(AlertsTest, TheTooltipPutsLiveBlockingBeforeAMutedServerThatRefuses) {
    TdsSimProcess sim("demo");
    WarningTimeout = 65535;
    SaveSettings();
    // The refusing server comes first in the list and is the one in error.
    SaveServers({Server("DR", ClosedPort()), Server("LIVE", sim.port(0))});
    Form = std::make_unique<TMainF>();
    Form->show();
    MuteServer(Monitor(0), TMuteSpan::UntilRestart);
    ASSERT_TRUE(WaitUntil([&] { return Idle() && Monitor(0).State == 2 && Monitor(1).State == 1; },
                          std::chrono::seconds(20)));
    Form->RefreshA->Execute();
    ASSERT_TRUE(WaitUntil([&] { return Idle() && Monitor(1).State == 1; }));
    QCoreApplication::processEvents(); // the tooltip follows once per burst of call-backs
    const QStringList lines = Form->Tray->JvTrayIcon.toolTip().split('\n');
    ASSERT_EQ(lines.size(), 3) << lines.join("|").toStdString();
    EXPECT_EQ(lines[0], Form->windowTitle());
    EXPECT_TRUE(lines[1].startsWith("LIVE: ")) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].contains(" blocked, longest wait ")) << lines[1].toStdString();
    EXPECT_EQ(lines[2], "DR: error (muted)");
    EXPECT_LE(Form->Tray->JvTrayIcon.toolTip().size(), 127);
}

} // namespace
