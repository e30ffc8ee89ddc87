// The process info card against a real tdssim: the monitor's owner, the fixture that starts the
// simulated server and opens the card, and small checks of what the card shows.
#pragma once

#include "ModalDriver.h"
#include "OleException.h"
#include "ProcessInfoF.h"
#include "ServerData.h"
#include "ServerOwner.h"
#include "Settings.h"
#include "TdsSimProcess.h"
#include "WindowState.h"
#include "WindowStateStore.h"

#include <QClipboard>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <gtest/gtest.h>

namespace processinfotest {

using namespace dialogtest;
using tallyvane::testsupport::TdsSimProcess;

class TOwner : public IServerOwner {
public:
    void ServerChanged(TServerData&) override {}
    bool Warn(TServerData&) override { return false; }
    void LogError(const std::string&, const std::exception& error) override {
        Logged.push_back(error.what());
    }
    std::vector<std::string> Logged;
};

inline bool HasSession(TdsSimProcess& sim, int spid) {
    const std::string needle = "\"spid\":" + std::to_string(spid) + ",";
    for (const std::string& line : sim.controlList("processes 0")) {
        if (line.find(needle) != std::string::npos)
            return true;
    }
    return false;
}

class ProcessInfoAgainstSim : public testing::Test {
protected:
    ProcessInfoAgainstSim() : Sim("demo") {
        ResetSettings();
        TServerInfo info;
        info.Name = "Sim";
        info.Timeout = 10;
        info.ConnectionString = Sim.oledbConnectionString();
        Server = std::make_unique<TServerData>(Owner, info);
        // Connected as the main window would have it: a refresh cycle that completed.
        Server->Refresh();
        EXPECT_TRUE(WaitFor([&] { return !Server->Busy; }));
        EXPECT_TRUE(Server->IsSysAdmin);
    }

    ~ProcessInfoAgainstSim() override { ResetSettings(); }

    // Another client of the same server, logged in as the program logs in.
    std::unique_ptr<TServerData> Connect(const std::string& user = "sa",
                                         const std::string& password = "Sim-Admin-1") {
        TServerInfo info;
        info.Name = "Other";
        info.Timeout = 10;
        info.ConnectionString = Sim.oledbConnectionString(0, user, password);
        auto monitor = std::make_unique<TServerData>(Owner, info);
        monitor->Refresh();
        EXPECT_TRUE(WaitFor([&] { return !monitor->Busy; }));
        return monitor;
    }
    // The SPIDs of the client connections, lowest first.
    std::vector<int> ClientSpids() {
        std::vector<int> spids;
        for (const std::string& line : Sim.controlList("sessions 0"))
            spids.push_back(std::stoi(line.substr(line.find(':') + 1)));
        std::sort(spids.begin(), spids.end());
        return spids;
    }

    // The demo's timeline at that second, as the monitor's next snapshot shows it.
    void At(double seconds) {
        Sim.setClock(0, seconds);
        Server->Refresh();
        ASSERT_TRUE(WaitFor([&] { return !Server->Busy; }));
    }
    // The row as the main window copies it for the dialog.
    TProcessDetails Seen(std::int32_t spid) const {
        const TProcessItem* row = Server->ProcessList.FindBySpid(spid);
        EXPECT_NE(row, nullptr) << spid;
        TProcessDetails d;
        d.Spid = spid;
        if (row == nullptr)
            return d;
        d.Known = true;
        d.Login = row->LoginName;
        d.Host = row->HostName;
        d.Program = row->ProgramName;
        d.Database = row->DBName;
        d.Status = row->Status;
        d.WaitResource = row->WaitResource;
        return d;
    }

    TdsSimProcess Sim;
    TOwner Owner;
    std::unique_ptr<TServerData> Server;
};

inline bool Matches(const QString& text, const QString& pattern) {
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(text).hasMatch();
}

// The label shows its whole text at its present size.
inline bool WhollyShown(const QLabel* label) {
    return label->isVisible() && label->height() >= label->heightForWidth(label->width()) &&
           label->geometry().bottom() < label->window()->height();
}

const QString Spid51Command =
    QStringLiteral("BEGIN TRAN\nUPDATE dbo.Salaries SET Amount = Amount * 1.02 WHERE DeptId = 7");

// Answers the next message box with the button and records its text.
inline void AnswerNext(QMessageBox::StandardButton button, QString* text) {
    OnNext<QMessageBox>([button, text](QMessageBox* box) {
        *text = box->text();
        box->button(button)->click();
    });
}

} // namespace processinfotest
