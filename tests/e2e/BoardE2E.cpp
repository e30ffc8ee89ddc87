// The demo's five servers in the real window on a real X server (run under xvfb-run) against
// tdssim: the "Blocking now" board across servers, and the notices a webhook on the loopback
// receives. Screenshots land in the artifacts folder given as the first argument.
#include "BlockingBoard.h"
#include "FileNames.h"
#include "MainForm.h"
#include "NoticeReceivers.h"
#include "NoticeRelay.h"
#include "ProcessView.h"
#include "ServerData.h"
#include "ServerListFile.h"
#include "ServerListView.h"
#include "Settings.h"
#include "TdsSimProcess.h"
#include "WindowStateStore.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
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
        QTest::qWait(50);
    }
    return true;
}

void Screenshot(const QString& name) {
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
    EXPECT_TRUE(shot.save(QDir(Artifacts).filePath(name)));
}

// The demo: PROD-SQL01 (sysadmin), REPORT-SQL02 (not sysadmin), DR-SQL03 (refuses
// connections), ARCHIVE-SQL04 (switched off), AUDIT-SQL05 (no VIEW SERVER STATE).
class BoardE2E : public testing::Test {
protected:
    TdsSimProcess Sim{"demo", 3};
    TNoticeReceivers Receivers;
    QTemporaryDir Dir;
    std::unique_ptr<TMainF> Form;

    void SetUp() override {
        Sim.setFault(2, "refuse", "yes");
        InitFileNames(Dir.filePath("tallyvane").toStdString());
        SetWindowStateFile(Dir.filePath("window-state.ini"));
        ResetSettings();
        AutoRefreshInterval = 1;
        PlaySoundOnWarning = false;
        ShowInSystemTray = false;
        WarnOnlyOnce = true;
        WebhookUrl = Receivers.Url("http", "/hook");
        SaveSettings();
        const auto server = [&](const char* name, bool enabled, int instance, const char* user,
                                const char* password) {
            TServerInfo info;
            info.Name = name;
            info.Enabled = enabled;
            info.ConnectionString = Sim.oledbConnectionString(instance, user, password);
            info.Timeout = 5;
            return info;
        };
        SaveServers({server("PROD-SQL01", true, 0, "sa", "Sim-Admin-1"),
                     server("REPORT-SQL02", true, 1, "viewer", "Sim-View-1"),
                     server("DR-SQL03", true, 2, "sa", "Sim-Admin-1"),
                     server("ARCHIVE-SQL04", false, 0, "sa", "Sim-Admin-1"),
                     server("AUDIT-SQL05", true, 1, "blind", "Sim-Blind-1")});
        Sim.control("clock * 0");
        Form = std::make_unique<TMainF>();
        Form->Relay->LoopbackOnly = true;
        Form->Relay->ApplySettings();
        // Deadlocks are read every two seconds here, not every minute.
        for (TServerData* s : Form->ServersTL->Servers())
            s->DeadlockReadInterval = std::chrono::seconds(2);
        Form->resize(1300, 760);
        Form->move(10, 10);
        Form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
    }
    void TearDown() override {
        Form.reset();
        ResetSettings();
        SetWindowStateFile(QString());
    }

    TBlockingBoard& Board() { return *Form->Board; }
    int HeadRows() {
        int n = 0;
        for (int r = 0; r < Board().RowCount(); ++r)
            n += Board().RowHead(r).second > 0;
        return n;
    }
    // The notices the webhook received for a server, as JSON objects.
    std::vector<QJsonObject> Notices(const QString& server) {
        std::vector<QJsonObject> found;
        for (const QJsonValue& v : Receivers.Received()) {
            const QJsonObject o =
                QJsonDocument::fromJson(v.toObject()["body"].toString().toUtf8()).object();
            if (o["server"].toString() == server)
                found.push_back(o);
        }
        return found;
    }
    int Count(const QString& server, const QString& event) {
        int n = 0;
        for (const QJsonObject& o : Notices(server))
            n += o["event"].toString() == event;
        return n;
    }
};

TEST_F(BoardE2E, TheBoardListsChainsAcrossServersByImpactAndFollowsAClick) {
    Form->BoardA->trigger();
    ASSERT_TRUE(Board().isVisible());
    // Both servers that see the workload block (51 holds 52 from the start), the two that
    // cannot see stand at the bottom.
    ASSERT_TRUE(WaitUntil([&] {
        QTest::mouseMove(Form->ServersTL->viewport()); // the pointer is not over the board
        return HeadRows() >= 2 && Board().RowCount() - HeadRows() == 2;
    }));
    QTest::qWait(3500); // waits grow past a few seconds
    Board().Update();
    QTreeWidget* list = Board().List;
    double previous = 1e18;
    QStringList servers;
    for (int r = 0; r < HeadRows(); ++r) {
        const double summed =
            list->topLevelItem(r)->text(TBlockingBoard::SummedC).split(' ')[0].toDouble();
        EXPECT_LE(summed, previous) << r;
        previous = summed;
        servers << list->topLevelItem(r)->text(TBlockingBoard::ServerC);
    }
    EXPECT_TRUE(servers.contains("PROD-SQL01")) << servers.join(",").toStdString();
    EXPECT_TRUE(servers.contains("REPORT-SQL02")) << servers.join(",").toStdString();
    QStringList blind;
    for (int r = HeadRows(); r < Board().RowCount(); ++r) {
        const QString text = list->topLevelItem(r)->text(TBlockingBoard::ServerC);
        blind << text.section(" · ", 0, 0);
        EXPECT_TRUE(text.section(" · ", 1).startsWith("not seeing: ")) << text.toStdString();
    }
    blind.sort();
    EXPECT_EQ(blind.join(","), "AUDIT-SQL05,DR-SQL03");
    EXPECT_TRUE(Board().SummaryL->text().contains(" · last refresh "))
        << Board().SummaryL->text().toStdString();
    Screenshot("board.png");

    // A click on PROD-SQL01's head shows it in the process tree.
    int prod = -1;
    for (int r = 0; r < HeadRows(); ++r)
        if (prod < 0 && list->topLevelItem(r)->text(TBlockingBoard::ServerC) == "PROD-SQL01")
            prod = r;
    ASSERT_GE(prod, 0);
    const int spid = Board().RowHead(prod).second;
    const QRect rect = list->visualItemRect(list->topLevelItem(prod));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(20, rect.center().y()));
    ASSERT_TRUE(WaitUntil([&] {
        return Form->ServersTL->FocusedServer() &&
               Form->ServersTL->FocusedServer()->Info.Name == "PROD-SQL01" &&
               Form->ProcessesTL->FocusedSpidText() == QString::number(spid);
    })) << Form->ProcessesTL->FocusedSpidText().toStdString();
    QTest::mouseMove(Form->ServersTL->viewport());
    QTest::qWait(300);
    Screenshot("board-followed.png");
}

TEST_F(BoardE2E, TheDemoSendsBlockingClearedAndDeadlockOncePerCooldown) {
    // 51 has blocked 52 for 3 s: the blocking notice, naming 51 with its login and program.
    ASSERT_TRUE(WaitUntil([&] { return Count("PROD-SQL01", "blocking") >= 1; }, 15000));
    QJsonObject blocking;
    for (const QJsonObject& o : Notices("PROD-SQL01"))
        if (o["event"].toString() == "blocking")
            blocking = o;
    EXPECT_EQ(blocking["head_spid"].toInt(), 51);
    EXPECT_FALSE(blocking["login"].toString().isEmpty());
    EXPECT_FALSE(blocking["program"].toString().isEmpty());
    EXPECT_GE(blocking["longest_wait_s"].toDouble(), 3.0);
    // 51 lets go at 26 s; at 27 s the server ends a deadlock of 57 and 59.
    ASSERT_TRUE(WaitUntil([&] { return Count("PROD-SQL01", "cleared") >= 1; }, 40000));
    ASSERT_TRUE(WaitUntil([&] { return Count("PROD-SQL01", "deadlock") >= 1; }, 20000));
    QJsonObject deadlock;
    for (const QJsonObject& o : Notices("PROD-SQL01"))
        if (o["event"].toString() == "deadlock")
            deadlock = o;
    EXPECT_EQ(deadlock["victim_spid"].toInt(), 57);
    EXPECT_TRUE(deadlock["survivors"].toArray().contains(59));
    // The whole round again, within the cooldown: nothing more.
    Sim.control("clock * 0");
    QTest::qWait(32000);
    EXPECT_EQ(Count("PROD-SQL01", "blocking"), 1);
    EXPECT_EQ(Count("PROD-SQL01", "cleared"), 1);
    EXPECT_EQ(Count("PROD-SQL01", "deadlock"), 1);
    // A server that cannot be seen sends nothing.
    EXPECT_TRUE(Notices("DR-SQL03").empty());
    EXPECT_TRUE(Notices("AUDIT-SQL05").empty());
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    Artifacts = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
    QDir().mkpath(Artifacts);
    return RUN_ALL_TESTS();
}
