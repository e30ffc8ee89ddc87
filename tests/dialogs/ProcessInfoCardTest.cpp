// The process info card of a blocker and of a blocked session against a real tdssim: whom it holds
// up, its blocker and the locked index, the kill confirmation and its record, the kept size.
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
