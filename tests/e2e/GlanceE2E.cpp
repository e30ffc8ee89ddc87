// The main window on a real X server (run under xvfb-run) against a real tdssim: the tree read
// at a glance, the blocking summary, and a safe kill, each step kept as a screenshot in the
// artifacts folder given as the first argument.
#include "FileNames.h"
#include "MainForm.h"
#include "ProcessInfoF.h"
#include "ProcessView.h"
#include "ServerListFile.h"
#include "ServerListView.h"
#include "Settings.h"
#include "TdsSimProcess.h"
#include "TrayWarnings.h"
#include "WindowStateStore.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

using tallyvane::testsupport::TdsSimProcess;

namespace {

QString Artifacts;

bool WaitUntil(const std::function<bool()>& pred, int ms = 15000) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms)
            return false;
        QTest::qWait(20);
    }
    return true;
}

// The whole X screen, as a user would see it.
void Screenshot(const QString& name) {
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
    EXPECT_FALSE(shot.isNull());
    EXPECT_TRUE(shot.save(QDir(Artifacts).filePath(name)));
}

// Acts on the next modal window once it is shown; a test that never gets one fails.
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
        } else if (deadline->elapsed() > 20000) {
            timer->stop();
            timer->deleteLater();
            ADD_FAILURE() << "no modal window came";
        }
    });
    timer->start(50);
}

class GlanceE2E : public testing::Test {
protected:
    TdsSimProcess Sim{"demo"};
    QTemporaryDir Dir;
    std::unique_ptr<TMainF> Form;

    void SetUp() override {
        InitFileNames(Dir.filePath("tallyvane").toStdString());
        SetWindowStateFile(Dir.filePath("window-state.ini"));
        ResetSettings();
        AutoRefreshInterval = 1;
        WarningTimeout = 65535; // no sound
        ShowInSystemTray = false;
        OpenBlockingChains = false; // the user opens the chain by hand here
        SaveSettings();
        TServerInfo prod;
        prod.Name = "PROD-SQL01";
        prod.Enabled = true;
        prod.ConnectionString = Sim.oledbConnectionString();
        prod.Timeout = 5;
        SaveServers({prod});
        // A deep chain that stays: 57 <- 58 <- 59 <- 60, at a moment of the timeline where the
        // scenario's own chain through these sessions has not begun.
        Sim.setClock(0, 1);
        Sim.block(0, 58, 57, "LCK_M_X", "KEY: 5:72057594043301888 (8194443284a0)");
        Sim.block(0, 59, 58, "LCK_M_S", "TAB: 5:1977058079:0");
        Sim.block(0, 60, 59, "LCK_M_U", "PAGE: 5:1:9001");
        Form = std::make_unique<TMainF>();
        Form->resize(1000, 650);
        Form->move(20, 20);
        Form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
        Form->ServersTL->setCurrentItem(Form->ServersTL->Node(0));
        ASSERT_TRUE(WaitUntil([&] { return Find(60).isValid(); }));
    }
    void TearDown() override {
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
    // Waits for n more rebuilds of the process view (each refresh of the focused server).
    void Refreshes(int n) {
        int seen = 0;
        auto c =
            QObject::connect(View().model(), &QAbstractItemModel::modelReset, [&seen] { ++seen; });
        EXPECT_TRUE(WaitUntil([&] { return seen >= n; }));
        QObject::disconnect(c);
    }
};

TEST_F(GlanceE2E, TheTreeStaysReadableAcrossRefreshes) {
    // The user focuses an idle session and opens the chain with the mouse, level by level.
    View().setCurrentIndex(Find(61));
    for (int spid : {57, 58, 59}) {
        const QModelIndex row = Find(spid);
        const QRect r = View().visualRect(row);
        QTest::mouseClick(View().viewport(), Qt::LeftButton, {},
                          QPoint(r.left() - View().indentation() / 2, r.center().y()));
        ASSERT_TRUE(View().isExpanded(Find(spid))) << spid;
    }
    QScrollBar* bar = View().horizontalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    bar->setValue(bar->maximum() / 2);
    const int scrolled = bar->value();
    Refreshes(3);
    for (int spid : {57, 58, 59})
        EXPECT_TRUE(View().isExpanded(Find(spid))) << spid;
    EXPECT_EQ(bar->value(), scrolled);
    EXPECT_EQ(View().Model().Spid(View().FocusedRow()), 61);
    bar->setValue(0);
    QTest::qWait(100);
    // The deepest SPID fits its cell next to its icon.
    const QRect cell = View().visualRect(Find(60));
    EXPECT_GE(cell.width(), View().iconSize().width() +
                                View().fontMetrics().horizontalAdvance(QStringLiteral("60")) + 4);
    Screenshot("glance-tree.png");
}

TEST_F(GlanceE2E, TheSummaryShowsTheHeadBlockers) {
    Refreshes(1);
    const QString status = Form->SummaryL->text();
    EXPECT_TRUE(status.startsWith("PROD-SQL01 · ")) << status.toStdString();
    EXPECT_TRUE(status.contains(" head blocker")) << status.toStdString();
    EXPECT_TRUE(status.contains(" · longest wait ")) << status.toStdString();
    EXPECT_TRUE(Form->ServersTL->Node(0)->toolTip(0).startsWith(status.section(" · ", 0, 1)));
    EXPECT_TRUE(Form->Tray->JvTrayIcon.toolTip().contains("\nPROD-SQL01: "));
    const QModelIndex head = Find(57);
    EXPECT_TRUE(head.data(Qt::FontRole).value<QFont>().bold());
    EXPECT_TRUE(head.data(Qt::ToolTipRole).toString().contains("Blocking: 3 (total wait "));
    const QModelIndex waiter =
        View().model()->index(Find(58).row(), TProcessModel::WaitInfoTLC, Find(58).parent());
    EXPECT_TRUE(waiter.data(Qt::ToolTipRole).toString().contains("Key lock on a row of index"));
    Screenshot("glance-summary.png");
}

TEST_F(GlanceE2E, KillNamesTheSessionAsksAndTheRefreshShowsIt) {
    View().setCurrentIndex(Find(57));
    QString title, info, question;
    OnNextModal([&](QWidget* w) {
        auto* dialog = qobject_cast<TProcessInfoF*>(w);
        ASSERT_NE(dialog, nullptr);
        title = dialog->windowTitle();
        info = dialog->InfoL->text();
        Screenshot("glance-process-info.png");
        OnNextModal(
            [&](QWidget* box) {
                question = qobject_cast<QMessageBox*>(box)->text();
                Screenshot("glance-kill-confirmation.png");
                qobject_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click();
            },
            dialog);
        dialog->Button2->click();
    });
    Form->ProcessInfoA->Execute();
    EXPECT_EQ(title, "Last SQL command: SPID 57 on PROD-SQL01");
    EXPECT_TRUE(info.startsWith("Login: ")) << info.toStdString();
    EXPECT_TRUE(question.startsWith("Kill SPID 57 on PROD-SQL01?\n\nLogin: "))
        << question.toStdString();
    // The refresh after the kill shows 57 gone and its chain released.
    EXPECT_TRUE(WaitUntil([&] { return !Find(57).isValid(); }));
    Screenshot("glance-after-kill.png");
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    Artifacts = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
    QDir().mkpath(Artifacts);
    return RUN_ALL_TESTS();
}
