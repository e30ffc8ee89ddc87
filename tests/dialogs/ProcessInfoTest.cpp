// "Last SQL command" against a real tdssim: the command text, Refresh, Kill process, Escape,
// and the failure paths (shown, dialog kept or never opened, nothing logged).
#include "ModalDriver.h"
#include "OleException.h"
#include "ProcessInfoF.h"
#include "ServerData.h"
#include "ServerOwner.h"
#include "TdsSimProcess.h"

#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

using namespace dialogtest;
using tallyvane::testsupport::TdsSimProcess;

namespace {

class TOwner : public IServerOwner {
public:
    void ServerChanged(TServerData&) override {}
    bool Warn(TServerData&) override { return false; }
    void LogError(const std::string&, const std::exception& error) override {
        Logged.push_back(error.what());
    }
    std::vector<std::string> Logged;
};

bool HasSession(TdsSimProcess& sim, int spid) {
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

    TdsSimProcess Sim;
    TOwner Owner;
    std::unique_ptr<TServerData> Server;
};

const QString Spid51Command =
    QStringLiteral("BEGIN TRAN\nUPDATE dbo.Salaries SET Amount = Amount * 1.02 WHERE DeptId = 7");

} // namespace

TEST_F(ProcessInfoAgainstSim, ShowsTheLastCommandAndClosesWithEscapeFromTheText) {
    OnNext<TProcessInfoF>([](TProcessInfoF* f) {
        EXPECT_EQ(f->windowTitle(), QStringLiteral("Last SQL command"));
        EXPECT_EQ(f->size(), QSize(405, 206));
        EXPECT_EQ(f->SqlM->toPlainText(), Spid51Command);
        EXPECT_EQ(f->SqlM->document()->blockCount(), 2);
        EXPECT_TRUE(f->SqlM->isReadOnly());
        EXPECT_EQ(f->focusWidget(), f->SqlM);
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        QTest::keyClick(f->SqlM, Qt::Key_Escape);
    });
    EXPECT_FALSE(ShowProcessInfo(*Server, 51));
    EXPECT_TRUE(HasSession(Sim, 51));
}

TEST_F(ProcessInfoAgainstSim, KillProcessClosesAtOnceAndTheBlockerIsGone) {
    // 51 holds its transaction open and blocks 52 at the start of the demo's timeline.
    Sim.setClock(0, 1);
    OnNext<TProcessInfoF>([](TProcessInfoF* f) { f->Button2->click(); });
    EXPECT_TRUE(ShowProcessInfo(*Server, 51));
    EXPECT_FALSE(HasSession(Sim, 51));
    EXPECT_TRUE(Owner.Logged.empty());
}

TEST_F(ProcessInfoAgainstSim, RefreshReplacesTheTextAndAFailingRefreshKeepsIt) {
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        f->SqlM->setPlainText(QStringLiteral("stale"));
        f->Button1->click();
        EXPECT_EQ(f->SqlM->toPlainText(), Spid51Command);

        Sim.kill(0, 51);
        QString error;
        AcceptNextMessage(&error);
        f->Button1->click();
        EXPECT_EQ(error, QStringLiteral("Invalid SPID 51 specified."));
        EXPECT_EQ(f->SqlM->toPlainText(), Spid51Command);
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_TRUE(f->isVisible());
        f->Button3->click();
    });
    EXPECT_FALSE(ShowProcessInfo(*Server, 51));
    EXPECT_TRUE(Owner.Logged.empty());
}

TEST_F(ProcessInfoAgainstSim, AFailingKillLeavesTheDialogOpenAndCloseReturnsFalse) {
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        Sim.kill(0, 52);
        QString error;
        AcceptNextMessage(&error);
        f->Button2->click();
        EXPECT_EQ(error, QStringLiteral("Process ID 52 is not an active process ID."));
        EXPECT_TRUE(f->isVisible());
        QTest::keyClick(f->Button1, Qt::Key_Escape);
    });
    EXPECT_FALSE(ShowProcessInfo(*Server, 52));
    EXPECT_TRUE(Owner.Logged.empty());
}

TEST_F(ProcessInfoAgainstSim, AFailingFirstLoadOpensNoDialogAndPassesTheErrorOn) {
    bool opened = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (QApplication::activeModalWidget()) {
            opened = true;
            QApplication::activeModalWidget()->close();
        }
    });
    watch.start(5);
    try {
        ShowProcessInfo(*Server, 999);
        ADD_FAILURE() << "no error";
    } catch (const EOleException& e) {
        EXPECT_STREQ(e.what(), "Invalid SPID 999 specified.");
    }
    EXPECT_FALSE(opened);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(Owner.Logged.empty());
}

TEST_F(ProcessInfoAgainstSim, AServerThatDropsTheConnectionGivesAnErrorNotACrash) {
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        Sim.setFault(0, "drop");
        QString error;
        AcceptNextMessage(&error);
        f->Button1->click();
        EXPECT_FALSE(error.isEmpty());
        EXPECT_EQ(f->SqlM->toPlainText(), Spid51Command);
        f->Button3->click();
    });
    EXPECT_FALSE(ShowProcessInfo(*Server, 51));
}
