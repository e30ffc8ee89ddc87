// "Last SQL command" against a real tdssim: the command text, Refresh, Kill process, Escape,
// and the failure paths (shown, dialog kept or never opened, nothing logged).
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

bool Matches(const QString& text, const QString& pattern) {
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(text).hasMatch();
}

// The label shows its whole text at its present size.
bool WhollyShown(const QLabel* label) {
    return label->isVisible() && label->height() >= label->heightForWidth(label->width()) &&
           label->geometry().bottom() < label->window()->height();
}

const QString Spid51Command =
    QStringLiteral("BEGIN TRAN\nUPDATE dbo.Salaries SET Amount = Amount * 1.02 WHERE DeptId = 7");

} // namespace

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

// Answers the next message box with the button and records its text.
void AnswerNext(QMessageBox::StandardButton button, QString* text) {
    OnNext<QMessageBox>([button, text](QMessageBox* box) {
        *text = box->text();
        box->button(button)->click();
    });
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

TEST_F(ProcessInfoAgainstSim, TheHeadBlockersCardSaysWhomItHoldsUpAndHowLongItHasSlept) {
    // 11 s into the demo: 51 blocks 52 (for 11 s) and 54 (1 s); 53 waits behind 52 (5 s).
    At(11);
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        const QString text = f->BlockingL->text();
        EXPECT_TRUE(Matches(text, "Blocks 3 sessions \\(2 directly\\): SPIDs 52, 53, 54; they have "
                                  "waited 1\\d\\.\\d s "
                                  "in all, the longest 11\\.\\d s\\.\n"
                                  "Head blocker, sleeping with an open transaction for 14 min "
                                  "\\d\\d s\\.\n"
                                  "Idle for 14 min \\d\\d s, since its last batch at "
                                  "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\."))
            << text.toStdString();
        EXPECT_TRUE(f->BlockerGB->isHidden()) << "nothing blocks it";
        EXPECT_TRUE(WhollyShown(f->InfoL));
        EXPECT_TRUE(WhollyShown(f->BlockingL));
        f->reject();
    });
    EXPECT_FALSE(ShowProcessInfo(*Server, Seen(51)));
    EXPECT_TRUE(Owner.Logged.empty());
}

TEST_F(ProcessInfoAgainstSim, ABlockedSessionsCardNamesItsBlockerTheHeadAndTheLockedIndex) {
    At(11);
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        EXPECT_TRUE(f->InfoL->text().contains("\nTable dbo.Salaries, index PK_Salaries"))
            << f->InfoL->text().toStdString();
        const QString text = f->BlockingL->text();
        EXPECT_TRUE(Matches(text, "Blocked for 5\\.\\d s by SPID 52 \\(login webuser, host WEB-02, "
                                  "program Payroll Web\\)\\.\n"
                                  "At the head of its chain: SPID 51 \\(login payroll, host "
                                  "APP-SRV-01, program Payroll Service\\)\\.\n"
                                  "Blocks no other session\\."))
            << text.toStdString();
        EXPECT_FALSE(f->BlockerGB->isHidden());
        EXPECT_TRUE(f->BlockerGB->title().contains("SPID 52"));
        EXPECT_EQ(f->BlockerSqlM->toPlainText(),
                  "UPDATE dbo.Salaries SET Bonus = 500 WHERE EmployeeId = 1017");
        // Further up, what the head runs: the statement everybody waits for.
        EXPECT_FALSE(f->HeadGB->isHidden());
        EXPECT_TRUE(f->HeadGB->title().contains("SPID 51")) << f->HeadGB->title().toStdString();
        EXPECT_EQ(f->HeadSqlM->toPlainText(), Spid51Command);
        // The first screen holds all of it: identity, the locked table and index, the blocker;
        // at the smallest size too, where the statements give up their room first.
        for (const QSize size : {f->size(), QSize(1, 1)}) {
            f->resize(size);
            QApplication::processEvents();
            EXPECT_TRUE(WhollyShown(f->InfoL)) << f->width() << "x" << f->height();
            EXPECT_TRUE(WhollyShown(f->BlockingL)) << f->width() << "x" << f->height();
        }
        // Escape from the blocker's statement closes the card too.
        QTest::keyClick(f->BlockerSqlM, Qt::Key_Escape);
    });
    EXPECT_FALSE(ShowProcessInfo(*Server, Seen(53)));

    // The middle of the chain: blocked by the head, blocking one behind it.
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        EXPECT_TRUE(
            Matches(f->BlockingL->text(),
                    "Blocked for 1\\d\\.\\d s by SPID 51 \\(login payroll, host APP-SRV-01, "
                    "program Payroll Service\\)\\.\n"
                    "Blocks 1 session directly: SPID 53; they have waited 5\\.\\d s in all, the "
                    "longest 5\\.\\d s\\."))
            << f->BlockingL->text().toStdString();
        EXPECT_EQ(f->BlockerSqlM->toPlainText(), Spid51Command);
        EXPECT_TRUE(f->HeadGB->isHidden()) << "its blocker is the head";
        // 53 has stopped waiting by 22 s: "Refresh" tells it from the monitor's next snapshot.
        Sim.setClock(0, 22);
        Server->Refresh();
        ASSERT_TRUE(WaitFor([&] { return !Server->Busy; }));
        f->Button1->click();
        EXPECT_TRUE(f->BlockingL->text().endsWith("\nBlocks no other session."))
            << f->BlockingL->text().toStdString();
        EXPECT_TRUE(f->BlockingL->text().startsWith("Blocked for 2"));
        f->reject();
    });
    EXPECT_FALSE(ShowProcessInfo(*Server, Seen(52)));
}

TEST_F(ProcessInfoAgainstSim, ABlockerThatEndedBeforeTheCardOpensLeavesItsStatementUnread) {
    At(11);
    Sim.kill(0, 52); // after the snapshot that shows it blocking 53
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        EXPECT_TRUE(f->BlockingL->text().startsWith("Blocked for 5"));
        EXPECT_EQ(f->BlockerSqlM->toPlainText(), "(not read)");
        f->reject();
    });
    EXPECT_FALSE(ShowProcessInfo(*Server, Seen(53)));
    EXPECT_TRUE(Owner.Logged.empty());
}

TEST_F(ProcessInfoAgainstSim, TheKillConfirmationTellsWhatIsLostAndTheKillIsRecorded) {
    At(11);
    std::vector<TKillRecord> recorded;
    const std::int64_t before = QDateTime::currentMSecsSinceEpoch();
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        QString question;
        AnswerNext(QMessageBox::Yes, &question);
        f->Button2->click();
        EXPECT_TRUE(Matches(question,
                            "Kill SPID 51 on Sim\\?\n\nLogin: payroll\nHost: APP-SRV-01\n"
                            "Program: Payroll Service\n\n"
                            "As of \\d\\d:\\d\\d:\\d\\d \\(the latest refresh\\):\n"
                            "Its open transaction, open for 14 min \\d\\d s, will be rolled back; "
                            "its changes are lost and its locks are held until the rollback "
                            "ends\\.\nIt blocks 3 sessions: SPIDs 52, 53, 54\\."))
            << question.toStdString();
    });
    EXPECT_TRUE(ShowProcessInfo(*Server, Seen(51), nullptr,
                                [&](TKillRecord k) { recorded.push_back(std::move(k)); }));
    EXPECT_FALSE(HasSession(Sim, 51));
    ASSERT_EQ(recorded.size(), 1u);
    const TKillRecord& k = recorded[0];
    EXPECT_EQ(k.Server, "Sim");
    EXPECT_EQ(k.Spid, 51);
    EXPECT_EQ(k.Login + "|" + k.Host + "|" + k.Program, "payroll|APP-SRV-01|Payroll Service");
    EXPECT_EQ(k.Statement, Spid51Command.toStdString().insert(10, "\r")) << "as the server sent it";
    EXPECT_EQ(k.KilledBy, LocalUserName());
    EXPECT_FALSE(k.KilledBy.empty());
    EXPECT_EQ(k.OpenTran, 1);
    EXPECT_EQ(k.BlockedCount, 3);
    EXPECT_EQ(k.Outcome, "");
    EXPECT_GE(k.Time, before);
    EXPECT_LE(k.Time, QDateTime::currentMSecsSinceEpoch());

    // A session without a transaction that blocks nobody.
    TProcessInfoF f;
    f.ServerData = Server.get();
    f.Spid = 60;
    f.Details = Seen(60);
    f.LoadBlocking();
    EXPECT_TRUE(Matches(f.ConfirmationText(),
                        "[\\s\\S]*Program: Microsoft SQL Server Management Studio - "
                        "Query\n\nAs of "
                        "\\d\\d:\\d\\d:\\d\\d \\(the latest refresh\\):\nIt blocks no other "
                        "session\\."))
        << f.ConfirmationText().toStdString();
}

TEST_F(ProcessInfoAgainstSim, AKillThatIsRefusedIsRecordedWithTheReason) {
    ConfirmKill = false;
    std::vector<TKillRecord> recorded;
    const auto record = [&](TKillRecord k) { recorded.push_back(std::move(k)); };
    // The server refuses to kill the monitor's own session.
    const int own = ClientSpids().front();
    At(11);
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        QString error;
        AcceptNextMessage(&error);
        f->Button2->click();
        EXPECT_EQ(error, "Cannot use KILL to kill your own process.");
        f->reject();
    });
    EXPECT_FALSE(ShowProcessInfo(*Server, Seen(own), nullptr, record));
    // The session ended before the KILL: nothing is sent, and that is said too.
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        Sim.kill(0, 52);
        AcceptNextMessage();
        f->Button2->click();
        f->reject();
    });
    EXPECT_FALSE(ShowProcessInfo(*Server, Seen(52), nullptr, record));
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0].Spid, own);
    EXPECT_EQ(recorded[0].Outcome, "Cannot use KILL to kill your own process.");
    EXPECT_EQ(recorded[1].Spid, 52);
    EXPECT_EQ(recorded[1].Outcome, "SPID 52 is no longer in use. Nothing was killed.");
    EXPECT_EQ(recorded[1].BlockedCount, 1) << "53 waited behind it";
}

TEST_F(ProcessInfoAgainstSim, TheCardComesBackAtTheSizeItWasLeftWithinTheScreen) {
    QTemporaryDir dir;
    SetWindowStateFile(dir.filePath("state.ini"));
    OnNext<TProcessInfoF>([](TProcessInfoF* f) {
        f->resize(700, 500);
        f->reject();
    });
    ShowProcessInfo(*Server, 51);
    QSize shown;
    OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
        shown = f->size();
        f->reject();
    });
    ShowProcessInfo(*Server, 51);
    EXPECT_EQ(shown, QSize(700, 500));

    // Whatever the store holds, the card fits the screen and its minimum size.
    const QSize room = QGuiApplication::primaryScreen()->availableGeometry().size();
    const struct {
        const char *Width, *Height;
        QSize Expected;
    } cases[] = {
        {"-5", "99999999999", QSize(440, room.height())},
        {"500", "200", QSize(500, 400)},
        {"abc", "400", QSize(640, 540)}, // not a number: the designed size
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Width);
        {
            TWindowStateStore store;
            store.WriteString(TProcessInfoF::SizeKey, "Width", c.Width);
            store.WriteString(TProcessInfoF::SizeKey, "Height", c.Height);
            store.Flush();
        }
        OnNext<TProcessInfoF>([&](TProcessInfoF* f) {
            shown = f->size();
            f->reject();
        });
        ShowProcessInfo(*Server, 51);
        EXPECT_EQ(shown, c.Expected);
    }
    SetWindowStateFile(QString());
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
