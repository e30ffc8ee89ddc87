// The main window on a real X server (run under xvfb-run) against two real tdssim instances:
// a session that becomes blocked while the user aims at the rows keeps its row, the tray shows
// blocks through another server's error, a server that stops answering is said once and keeps
// its last tree, and the kill question gives the latest figures. Each step is kept as a
// screenshot in the artifacts folder given as the first argument.
#include "ErrorLog.h"
#include "FileNames.h"
#include "MainForm.h"
#include "MuteState.h"
#include "ProcessInfoF.h"
#include "ProcessView.h"
#include "ServerData.h"
#include "ServerListFile.h"
#include "ServerListView.h"
#include "Settings.h"
#include "TdsSimProcess.h"
#include "TrayWarnings.h"
#include "WindowStateStore.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

using tallyvane::testsupport::TdsSimProcess;

namespace {

QString Artifacts;

bool WaitUntil(const std::function<bool()>& pred, int ms = 20000) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms)
            return false;
        QTest::qWait(20);
    }
    return true;
}

void Screenshot(const QString& name) {
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
    EXPECT_FALSE(shot.isNull());
    EXPECT_TRUE(shot.save(QDir(Artifacts).filePath(name)));
}

void OnNextModal(std::function<void(QWidget*)> act, QWidget* except = nullptr) {
    auto* timer = new QTimer;
    auto deadline = std::make_shared<QElapsedTimer>();
    deadline->start();
    QObject::connect(timer, &QTimer::timeout, [timer, act, except, deadline] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal != except && modal->isVisible()) {
            timer->stop();
            timer->deleteLater();
            act(modal);
        } else if (deadline->elapsed() > 30000) {
            timer->stop();
            timer->deleteLater();
            ADD_FAILURE() << "no modal window came";
        }
    });
    timer->start(50);
}

class TrustE2E : public testing::Test {
protected:
    TdsSimProcess Sim{"demo", 2};
    QTemporaryDir Dir;
    std::unique_ptr<TMainF> Form;

    void SetUp() override {
        InitFileNames(Dir.filePath("tallyvane").toStdString());
        SetWindowStateFile(Dir.filePath("window-state.ini"));
        ResetSettings();
        AutoRefreshInterval = 1;
        WarningTimeout = 65535; // no blocking warnings: the outage's are looked at here
        // The sound cannot be played here: a warning beeps, and counts as given.
        PlaySoundOnWarning = true;
        WarningSoundPath = "no-such-sound.wav";
        ShowInSystemTray = true;
        OpenBlockingChains = true;
        SaveSettings();
        const auto server = [&](const char* name, int instance) {
            TServerInfo info;
            info.Name = name;
            info.Enabled = true;
            info.ConnectionString = Sim.oledbConnectionString(instance);
            info.Timeout = 3;
            return info;
        };
        Sim.setFault(1, "refuse");
        SaveServers({server("PROD-SQL01", 0), server("DR-SQL03", 1)});
        Sim.setClock(0, 1);
        Sim.block(0, 58, 57, "LCK_M_X", "KEY: 5:72057594043301888 (8194443284a0)");
        Sim.block(0, 59, 58, "LCK_M_S", "TAB: 5:1977058079:0");
        Form = std::make_unique<TMainF>();
        Form->resize(1100, 700);
        Form->move(20, 20);
        Form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
        Form->ServersTL->setCurrentItem(Form->ServersTL->Node(0));
        ASSERT_TRUE(WaitUntil([&] { return Find(59).isValid(); }));
    }
    void TearDown() override {
        QCursor::setPos(QPoint(1390, 890));
        Form.reset();
        ResetSettings();
        SetWindowStateFile(QString());
    }
    TProcessView& View() { return *Form->ProcessesTL; }
    QModelIndex Find(int spid, const QModelIndex& parent = {}) {
        const auto* m = View().model();
        for (int r = 0; r < m->rowCount(parent); ++r) {
            const QModelIndex i = m->index(r, 0, parent);
            if (i.data().toInt() == spid)
                return i;
            if (QModelIndex inner = Find(spid, i); inner.isValid())
                return inner;
        }
        return {};
    }
    TServerData& Monitor(int i) { return *Form->ServersTL->Node(i)->Data(); }
    // Each refresh of the focused server reaches the view (a rebuild or a fill-in).
    void Refreshes(int n) {
        const std::uint64_t from = Monitor(0).Snapshots;
        EXPECT_TRUE(WaitUntil([&] { return Monitor(0).Snapshots >= from + n; }));
        QTest::qWait(100);
    }
};

TEST_F(TrustE2E, ASessionBlockedWhileTheUserAimsKeepsItsRowWithLiveValues) {
    View().CatchUpMs = 60000; // the pointer rests on the rows for as long as the test needs
    const QModelIndex idle = Find(61);
    ASSERT_TRUE(idle.isValid());
    const QPoint aim = View().visualRect(idle).center();
    QCursor::setPos(View().viewport()->mapToGlobal(aim));
    QTest::mouseMove(View().viewport(), aim);
    ASSERT_TRUE(WaitUntil([&] { return View().Held(); }, 3000));
    Sim.block(0, 61, 57, "LCK_M_S", "TAB: 5:1977058079:0");
    ASSERT_TRUE(WaitUntil([&] {
        const QModelIndex row = Find(61);
        return row.isValid() &&
               row.siblingAtColumn(TProcessModel::BlockSpidTLC).data().toString() == "57";
    }));
    const QModelIndex row = Find(61);
    EXPECT_FALSE(View().Model().Ended(TProcessModel::RowOf(row)));
    EXPECT_FALSE(row.data(Qt::ToolTipRole).toString().contains("has ended"));
    EXPECT_FALSE(row.parent().isValid()); // it moves once the view catches up
    EXPECT_TRUE(Form->SummaryL->text().contains(" blocked"));
    Screenshot("trust-held-row-live.png");
    // The card opened on the row starts from the live values.
    QString info;
    OnNextModal([&](QWidget* w) {
        auto* card = qobject_cast<TProcessInfoF*>(w);
        ASSERT_NE(card, nullptr);
        info = card->InfoL->text() + "\n" + card->BlockingL->text();
        card->reject();
    });
    View().setCurrentIndex(row);
    Form->ProcessInfoA->Execute();
    EXPECT_TRUE(info.contains("Blocked for")) << info.toStdString();
    EXPECT_TRUE(info.contains("by SPID 57")) << info.toStdString();
    QCursor::setPos(QPoint(1390, 890));
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(View().viewport(), &leave);
    ASSERT_TRUE(WaitUntil([&] { return Find(61).parent().isValid(); }));
    EXPECT_EQ(Find(61).parent().data().toInt(), 57);
    Screenshot("trust-held-row-moved.png");
}

TEST_F(TrustE2E, TheTrayShowsBlocksThroughAnotherServersErrorUntilMuted) {
    ASSERT_TRUE(WaitUntil([&] { return Monitor(1).State == 2 && !Monitor(1).Busy; }));
    ASSERT_TRUE(WaitUntil([&] { return Form->Tray->IconIndex() == 3; }));
    EXPECT_TRUE(Form->Tray->ErrorMarked());
    Form->Tray->JvTrayIcon.icon().pixmap(64, 64).save(
        QDir(Artifacts).filePath("trust-tray-blocks-with-error.png"));
    MuteServer(Monitor(1), TMuteSpan::UntilRestart);
    Form->UpdateServerNode(*Form->ServersTL->Node(1));
    Form->UpdateTrayIcon();
    EXPECT_EQ(Form->Tray->IconIndex(), 3);
    EXPECT_FALSE(Form->Tray->ErrorMarked());
    Form->ServersTL->Node(1)->icon(0).pixmap(16, 16).scaled(64, 64).save(
        QDir(Artifacts).filePath("trust-muted-error-node.png"));
    QTest::qWait(300); // painted
    Screenshot("trust-tray-and-muted-node.png");
}

TEST_F(TrustE2E, AServerThatStopsAnsweringIsSaidOnceKeepsItsTreeAndRecovers) {
    Refreshes(1);
    const int given = Form->Tray->WarningsGiven();
    Sim.setFault(0, "refuse");
    Sim.setFault(0, "drop");
    ASSERT_TRUE(WaitUntil([&] { return Monitor(0).State == 2; }));
    ASSERT_TRUE(WaitUntil([&] { return Form->Tray->WarningsGiven() == given + 1; }));
    if (Form->Tray->IsShown()) {
        EXPECT_TRUE(Form->Tray->LastBalloonText().startsWith("PROD-SQL01 stopped answering."))
            << Form->Tray->LastBalloonText().toStdString();
    }
    EXPECT_TRUE(Find(59).isValid());
    EXPECT_TRUE(View().Model().Stale());
    EXPECT_TRUE(Form->SummaryL->text().contains("last known tree, read at"))
        << Form->SummaryL->text().toStdString();
    const auto errorRowOf = [&](const char* server) -> QTreeWidgetItem* {
        for (int i = 0; i < Form->ErrorsTL->topLevelItemCount(); ++i)
            if (Form->ErrorsTL->topLevelItem(i)->text(TErrorLog::ErrServerTLC) == server)
                return Form->ErrorsTL->topLevelItem(i);
        return nullptr;
    };
    ASSERT_NE(errorRowOf("PROD-SQL01"), nullptr);
    EXPECT_TRUE(
        errorRowOf("PROD-SQL01")->text(TErrorLog::ErrDescriptionTLC).contains("down since"));
    QTest::qWait(2500); // more failed refreshes: still one warning
    EXPECT_EQ(Form->Tray->WarningsGiven(), given + 1);
    Screenshot("trust-server-down.png");
    Sim.clearFaults(0);
    ASSERT_TRUE(WaitUntil([&] { return Monitor(0).State != 2; }, 30000));
    QTreeWidgetItem* newest = errorRowOf("PROD-SQL01");
    ASSERT_NE(newest, nullptr);
    EXPECT_TRUE(
        newest->text(TErrorLog::ErrDescriptionTLC).startsWith("Answers again: recovered after"))
        << newest->text(TErrorLog::ErrDescriptionTLC).toStdString();
    EXPECT_FALSE(View().Model().Stale());
    Screenshot("trust-server-recovered.png");
}

TEST_F(TrustE2E, TheKillQuestionGivesTheLatestFiguresAndNamesTheBlockedSpids) {
    View().setCurrentIndex(Find(57));
    QString card, question;
    OnNextModal([&](QWidget* w) {
        auto* dialog = qobject_cast<TProcessInfoF*>(w);
        ASSERT_NE(dialog, nullptr);
        card = dialog->BlockingL->text();
        Screenshot("trust-card-57.png");
        // The blocking ends while the card is open.
        Sim.unblock(0, 58);
        Sim.unblock(0, 59);
        const std::uint64_t from = Monitor(0).Snapshots;
        WaitUntil([&] { return Monitor(0).Snapshots >= from + 2; });
        OnNextModal(
            [&](QWidget* box) {
                question = qobject_cast<QMessageBox*>(box)->text();
                Screenshot("trust-kill-question.png");
                qobject_cast<QMessageBox*>(box)->button(QMessageBox::No)->click();
            },
            dialog);
        dialog->Button2->click();
        dialog->reject();
    });
    Form->ProcessInfoA->Execute();
    EXPECT_TRUE(card.contains("SPIDs 58, 59")) << card.toStdString();
    EXPECT_TRUE(question.contains("As of ")) << question.toStdString();
    EXPECT_TRUE(question.contains("It blocks no other session.")) << question.toStdString();
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    Artifacts = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
    QDir().mkpath(Artifacts);
    return RUN_ALL_TESTS();
}
