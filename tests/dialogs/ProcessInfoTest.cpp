// "Last SQL command" against a real tdssim: the command text, Refresh, Kill process, Escape,
// and the failure paths (shown, dialog kept or never opened, nothing logged).
#include "ModalDriver.h"
#include "OleException.h"
#include "ProcessInfoF.h"
#include "ProcessInfoFixture.h"
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

using namespace processinfotest;

TEST_F(ProcessInfoAgainstSim, ShowsTheLastCommandAndClosesWithEscapeFromTheText) {
    OnNext<TProcessInfoF>([](TProcessInfoF* f) {
        EXPECT_EQ(f->windowTitle(), QStringLiteral("Last SQL command: SPID 51 on Sim"));
        EXPECT_NE(f->minimumSize(), f->maximumSize()) << "resizable";
        EXPECT_TRUE(f->InfoL->text().startsWith("Login: payroll\nHost: APP-SRV-01\nProgram: "
                                                "Payroll Service\n"))
            << f->InfoL->text().toStdString();
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

TEST_F(ProcessInfoAgainstSim, KillAsksFirstAndTheBlockerIsGone) {
    // 51 holds its transaction open and blocks 52 at the start of the demo's timeline.
    Sim.setClock(0, 1);
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        QString question;
        AnswerNext(QMessageBox::No, &question);
        f->Button2->click();
        EXPECT_TRUE(question.startsWith("Kill SPID 51 on Sim?\n\nLogin: payroll\nHost: "
                                        "APP-SRV-01\nProgram: Payroll Service\n\n"))
            << question.toStdString();
        EXPECT_TRUE(f->isVisible());
        EXPECT_TRUE(HasSession(Sim, 51));
        AnswerNext(QMessageBox::Yes, &question);
        f->Button2->click();
    });
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

TEST_F(ProcessInfoAgainstSim, AKillOfAnEndedSessionIsRefusedAndCloseReturnsFalse) {
    ConfirmKill = false;
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        Sim.kill(0, 52);
        QString error;
        AcceptNextMessage(&error);
        f->Button2->click();
        EXPECT_EQ(error, QStringLiteral("SPID 52 is no longer in use. Nothing was killed."));
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

TEST_F(ProcessInfoAgainstSim, ASpidTakenOverByAnotherSessionIsNotKilled) {
    ConfirmKill = false;
    const std::vector<int> before = ClientSpids();
    std::unique_ptr<TServerData> victim = Connect();
    std::vector<int> after = ClientSpids();
    ASSERT_EQ(after.size(), before.size() + 1);
    const int spid = after.back();
    std::unique_ptr<TServerData> successor;
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        // The session ends and a new one of the same login, host and program gets its SPID.
        victim.reset();
        ASSERT_TRUE(WaitFor([&] { return ClientSpids() == before; }));
        successor = Connect();
        ASSERT_EQ(ClientSpids().back(), spid);
        QString refusal;
        AcceptNextMessage(&refusal);
        f->Button2->click();
        EXPECT_TRUE(refusal.startsWith(QStringLiteral("SPID %1 now belongs to another session "
                                                      "(login sa, host ")
                                           .arg(spid)))
            << refusal.toStdString();
        EXPECT_TRUE(refusal.endsWith("Nothing was killed."));
        EXPECT_TRUE(f->isVisible());
        f->Button3->click();
    });
    EXPECT_FALSE(ShowProcessInfo(*Server, spid));
    EXPECT_TRUE(HasSession(Sim, spid)); // the successor lives on
}

TEST_F(ProcessInfoAgainstSim, ARowThatNoLongerMatchesItsSpidIsNotKilled) {
    ConfirmKill = false;
    // The user saw SPID 51 as another login's session: the SPID changed hands before the
    // dialog opened.
    TProcessDetails seen;
    seen.Spid = 51;
    seen.Known = true;
    seen.Login = "mallory";
    seen.Host = "APP-SRV-01";
    seen.Program = "Payroll Service";
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        QString refusal;
        AcceptNextMessage(&refusal);
        f->Button2->click();
        EXPECT_TRUE(refusal.contains("now belongs to another session (login payroll"));
        f->Button3->click();
    });
    EXPECT_FALSE(ShowProcessInfo(*Server, seen));
    EXPECT_TRUE(HasSession(Sim, 51));
}

TEST_F(ProcessInfoAgainstSim, ConfirmationWarnsAboutSystemProcesses) {
    TProcessInfoF f;
    f.ServerData = Server.get();
    struct TCase {
        std::int32_t Spid;
        const char* Login;
        bool Warned;
    } cases[] = {{12, "", true}, {50, "", true}, {12, "sa", false}, {51, "", false}};
    for (const TCase& c : cases) {
        f.Spid = c.Spid;
        f.Details.Login = c.Login;
        EXPECT_EQ(f.ConfirmationText().contains("is a system process"), c.Warned)
            << c.Spid << " " << c.Login;
    }
}

TEST_F(ProcessInfoAgainstSim, TheWaitResourceIsNamedFromTheCatalog) {
    TProcessDetails details;
    details.Spid = 52;
    details.Known = true;
    details.Login = "webshop";
    details.WaitResource = "KEY: 5:72057594043301888 (8194443284a0)";
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        EXPECT_TRUE(f->InfoL->text().contains(
            "\nWaits for: Key lock on a row of index (hobt 72057594043301888) in Sales (5), key "
            "hash 8194443284a0\nTable dbo.Salaries, index PK_Salaries"))
            << f->InfoL->text().toStdString();
        f->Button3->click();
    });
    EXPECT_FALSE(ShowProcessInfo(*Server, details));
    EXPECT_EQ(Server->DatabaseNames.at(6), "Inventory"); // learned once for the server

    // A login the catalog refuses: the ids stay, nothing fails. (It may read its own input
    // buffer only.)
    std::unique_ptr<TServerData> viewer = Connect("viewer", "Sim-View-1");
    const std::vector<int> spids = ClientSpids();
    details.Spid = spids.back();
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        EXPECT_TRUE(f->InfoL->text().contains("Key lock on a row of index (hobt 72057594043301888) "
                                              "in Sales (5)"));
        EXPECT_FALSE(f->InfoL->text().contains("Table "));
        f->Button3->click();
    });
    EXPECT_FALSE(ShowProcessInfo(*viewer, details));
}

TEST_F(ProcessInfoAgainstSim, WithoutSysadminTheCommandIsReadAndKillFollowsAlterAnyConnection) {
    Sim.setClock(0, 1);
    const struct {
        const char *user, *password;
        bool mayKill;
    } cases[] = {{"viewer", "Sim-View-1", false}, {"operator", "Sim-Oper-1", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user);
        const std::unique_ptr<TServerData> monitor = Connect(c.user, c.password);
        ASSERT_FALSE(monitor->IsSysAdmin);
        OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
            EXPECT_EQ(f->SqlM->toPlainText(), Spid51Command);
            EXPECT_EQ(f->Button2->isEnabled(), c.mayKill);
            EXPECT_EQ(f->Button2->toolTip().isEmpty(), c.mayKill);
            if (!c.mayKill) {
                EXPECT_TRUE(f->Button2->toolTip().contains("ALTER ANY CONNECTION"));
            }
            f->reject();
        });
        EXPECT_FALSE(ShowProcessInfo(*monitor, 51));
    }
    EXPECT_TRUE(HasSession(Sim, 51));
    EXPECT_TRUE(Owner.Logged.empty());
}

TEST(ProcessInfoCard, ALongStatementScrollsAndCopiesWhole) {
    ResetSettings();
    TdsSimProcess sim("edge");
    TOwner owner;
    TServerInfo info;
    info.Name = "Edge";
    info.Timeout = 10;
    info.ConnectionString = sim.oledbConnectionString();
    TServerData server(owner, info);
    server.Refresh();
    ASSERT_TRUE(WaitFor([&] { return !server.Busy; }));
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        // Over 4000 characters on several lines: more than the box shows at once.
        EXPECT_GT(f->SqlM->toPlainText().size(), 3000);
        EXPECT_GT(f->SqlM->verticalScrollBar()->maximum(), 0);
        EXPECT_NE(f->SqlM->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        f->SqlM->selectAll();
        f->SqlM->copy();
        EXPECT_EQ(QGuiApplication::clipboard()->text(), f->SqlM->toPlainText());
        f->reject();
    });
    EXPECT_FALSE(ShowProcessInfo(server, 94));
}

TEST(ProcessInfoCard, ServerTextOnTheCardIsShownAsText) {
    ResetSettings();
    // The blocker's names and statement carry a bidi override, an escape sequence and markup.
    QTemporaryDir dir;
    const QString path = dir.filePath("hostile.ini");
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[session]\nspid = 70\nlogin = evil\xe2\x80\xaegnp.exe\nhost = H\x1b[31mRED\n"
                   "program = <b>bold</b>\nstatus = sleeping\nopen_tran = 1\nidle = 3600\n"
                   "input = SELECT 1 -- \xe2\x80\xae\n"
                   "[session]\nspid = 71\nlogin = victim\n"
                   "[block]\nwaiter = 71\nblocker = 70\n");
    }
    TdsSimProcess sim(path.toStdString());
    TOwner owner;
    TServerInfo info;
    info.Name = "Hostile";
    info.Timeout = 10;
    info.ConnectionString = sim.oledbConnectionString();
    TServerData server(owner, info);
    server.Refresh();
    ASSERT_TRUE(WaitFor([&] { return !server.Busy; }));
    const QChar rlo(0x202E);
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        const QString text = f->BlockingL->text();
        EXPECT_TRUE(text.contains("login evil<U+202E>gnp.exe, host H<U+001B>[31mRED, program "
                                  "<b>bold</b>"))
            << text.toStdString();
        EXPECT_FALSE(text.contains(rlo));
        EXPECT_EQ(f->BlockingL->textFormat(), Qt::PlainText);
        EXPECT_EQ(f->BlockerSqlM->toPlainText(), "SELECT 1 -- <U+202E>");
        f->reject();
    });
    EXPECT_FALSE(ShowProcessInfo(server, 71));
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        EXPECT_TRUE(f->BlockingL->text().contains(
            "Head blocker, sleeping with an open transaction for 1 h 00 min."))
            << f->BlockingL->text().toStdString();
        f->reject();
    });
    EXPECT_FALSE(ShowProcessInfo(server, 70));
}
