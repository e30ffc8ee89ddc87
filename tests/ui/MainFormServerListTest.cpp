// The main window and its server list: registering and unregistering, a list that was never
// read or holds a NUL, a login that sees only itself, and the first-start hint.
#include "ErrorLog.h"
#include "FileNames.h"
#include "FirstStartHint.h"
#include "HistoryF.h"
#include "HistoryKillsView.h"
#include "HistoryStore.h"
#include "MainForm.h"
#include "MainFormFixture.h"
#include "ProcessExport.h"
#include "ProcessInfoF.h"
#include "ProcessModel.h"
#include "ProcessView.h"
#include "ServerListFile.h"
#include "ServerListView.h"
#include "ServerPropsF.h"
#include "SessionLookups.h"
#include "Settings.h"
#include "SettingsF.h"
#include "TdsSimProcess.h"
#include "TrayWarnings.h"
#include "UiTestSupport.h"
#include "WindowStateStore.h"

#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QToolBar>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>

using namespace mainformtest;

namespace {

TEST_F(MainFormTest, UnregisterAsksFirstAndSavesTheList) {
    Start({Server("A", false, ConnectionTo(1)), Server("B", false, ConnectionTo(2))});
    const QByteArray before = ServersFile();
    Form->ServersTL->setCurrentItem(Form->ServersTL->Node(0));
    FillSnapshot(Monitor(0), {{10, 0}});
    Form->UpdateServerNode(*Form->ServersTL->Node(0));
    ASSERT_EQ(Form->ProcessesTL->model()->rowCount({}), 1);

    Form->ServerUnregisterA->Execute(); // the answerer says No
    EXPECT_EQ(Answerer.Messages.value(0), "Confirm: Are you sure?");
    EXPECT_EQ(Form->ServersTL->NodeCount(), 2);
    EXPECT_EQ(ServersFile(), before);

    Answerer.Handler = [](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        box->button(QMessageBox::Yes)->click();
    };
    Form->ServerUnregisterA->Execute();
    ASSERT_EQ(Form->ServersTL->NodeCount(), 1);
    EXPECT_EQ(Form->ServersTL->Node(0)->text(0), "B");
    const auto saved = LoadServers();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].Name, "B");
    // The process view shows the newly focused server (none of A's rows).
    EXPECT_EQ(Form->ProcessesTL->model()->rowCount({}), 0);
}

TEST_F(MainFormTest, RegisterAddsTheServerKeepsASortedListAndSavesItsOrder) {
    Start({Server("B", false, ConnectionTo(1)), Server("A", false, ConnectionTo(2))});
    EXPECT_EQ(Form->ServersTL->Node(0)->text(0), "B"); // file order until the header is clicked
    Form->ServersTL->sortByColumn(0, Qt::AscendingOrder);
    EXPECT_EQ(Form->ServersTL->Node(0)->text(0), "A");

    Answerer.Handler = [](QWidget* w) {
        auto* dialog = qobject_cast<TServerPropsF*>(w);
        ASSERT_NE(dialog, nullptr);
        dialog->ServerE->setText("AA");
        dialog->ConnStrE->setText(QString::fromStdString(ConnectionTo(3)));
        dialog->EnabledCB->setChecked(false);
        dialog->OkB->click();
    };
    EXPECT_TRUE(Form->ServerRegisterA->Execute());
    ASSERT_EQ(Form->ServersTL->NodeCount(), 3);
    ASSERT_TRUE(WaitUntil([&] { return Form->ServersTL->Node(1)->text(0) == "AA"; }));
    EXPECT_EQ(Form->ServersTL->Node(2)->text(0), "B");
    EXPECT_EQ(Icon(1), 0); // registered switched off, not refreshed
    const auto saved = LoadServers();
    ASSERT_EQ(saved.size(), 3u);
    EXPECT_EQ(saved[0].Name, "A");
    EXPECT_EQ(saved[1].Name, "AA");
    EXPECT_FALSE(saved[1].Enabled);
    EXPECT_EQ(saved[2].Name, "B");
}

// A start that fails before the server list is read (here: the first-run settings cannot be
// saved, a folder stands where the file should be) must not let a later save replace the list.
TEST_F(MainFormTest, AListThatWasNeverReadIsNeverOverwritten) {
    SaveServers({Server("A", false, ConnectionTo(1)), Server("B", false, ConnectionTo(2))});
    const QByteArray before = ServersFile();
    std::filesystem::remove(SettingsFileName);
    std::filesystem::create_directory(SettingsFileName);
    Answerer.Handler = [](QWidget* w) {
        if (auto* settings = qobject_cast<TSettingsF*>(w)) {
            settings->OkB->click();
        } else if (auto* props = qobject_cast<TServerPropsF*>(w)) {
            props->ServerE->setText("NEW");
            props->ConnStrE->setText(QString::fromStdString(ConnectionTo(3)));
            props->EnabledCB->setChecked(false);
            props->OkB->click();
        } else if (auto* box = qobject_cast<QMessageBox*>(w)) {
            box->accept();
        }
    };
    Form = std::make_unique<TMainF>();
    Form->show();
    ASSERT_EQ(Answerer.Messages.size(), 1);
    EXPECT_TRUE(Answerer.Messages[0].endsWith("Unable to write to " +
                                              QString::fromStdString(SettingsFileName) + "."));
    EXPECT_EQ(Form->ServersTL->NodeCount(), 0);

    Form->ServerRegisterA->trigger(); // as the menu does: the error goes to the error display
    EXPECT_EQ(Form->ServersTL->NodeCount(), 1);
    ASSERT_EQ(Answerer.Messages.size(), 2);
    EXPECT_TRUE(Answerer.Messages[1].contains("was not read at start"))
        << Answerer.Messages[1].toStdString();
    EXPECT_EQ(ServersFile(), before);
}

// What a tooltip shows: Qt renders it as HTML when it looks like HTML.
TEST_F(MainFormTest, AServerListWithANulIsReportedAndNeverSavedOver) {
    const std::string text("[A]\r\nEnabled=0\r\n\0[B]\r\nEnabled=0\r\n", 33);
    std::ofstream(ServersFileName, std::ios::binary) << text;
    Answerer.Handler = [](QWidget* w) {
        if (auto* props = qobject_cast<TServerPropsF*>(w)) {
            props->ServerE->setText("NEW");
            props->ConnStrE->setText(QString::fromStdString(ConnectionTo(3)));
            props->EnabledCB->setChecked(false);
            props->OkB->click();
        } else if (auto* box = qobject_cast<QMessageBox*>(w)) {
            box->accept();
        }
    };
    Form = std::make_unique<TMainF>();
    Form->show();
    EXPECT_EQ(Answerer.Messages.size(), 0) << "the start goes on";
    EXPECT_EQ(Form->ServersTL->NodeCount(), 0);
    ASSERT_GE(Form->ErrorsTL->topLevelItemCount(), 1);
    const QString logged = Form->ErrorsTL->topLevelItem(0)->text(TErrorLog::ErrDescriptionTLC);
    EXPECT_TRUE(logged.contains("line 3 holds a NUL byte")) << logged.toStdString();
    // The empty view says why it is empty: not a first start.
    const QString hint = Form->FirstStartHint->TextL->text();
    EXPECT_FALSE(hint.contains("No server is registered yet")) << hint.toStdString();
    EXPECT_TRUE(hint.contains("The server list could not be read")) << hint.toStdString();
    EXPECT_TRUE(hint.contains("line 3 holds a NUL byte")) << hint.toStdString();
    EXPECT_TRUE(Form->FirstStartHint->RegisterB->isHidden());

    Form->ServerRegisterA->trigger();
    ASSERT_EQ(Answerer.Messages.size(), 1);
    EXPECT_TRUE(Answerer.Messages[0].contains("was not read at start"));
    EXPECT_EQ(ServersFile(), QByteArray(text.data(), static_cast<qsizetype>(text.size())));
}

TEST_F(MainFormTest, ALoginThatSeesOnlyItsOwnSessionIsNeverShownAsCalm) {
    TdsSimProcess sim("demo");
    WarningTimeout = 65535; // no warnings (and no sound) in this test
    SaveSettings();
    Start({Server("BLIND", true, ConnectionTo(sim.port(0), "blind", "Sim-Blind-1"))});
    ASSERT_TRUE(WaitUntil([&] { return Monitor(0).SeesOnlyOwnSession && !Monitor(0).Busy; }));
    for (int i = 0; i < 3; ++i) {
        Form->RefreshA->Execute();
        ASSERT_TRUE(WaitUntil([&] { return !Monitor(0).Busy; }));
    }
    EXPECT_EQ(Icon(0), 4); // the error family: never the calm icon
    EXPECT_EQ(Form->Tray->IconIndex(), 4);
    Form->ServersTL->setCurrentItem(Form->ServersTL->Node(0));
    EXPECT_TRUE(
        Form->ServersTL->Node(0)
            ->data(0, Qt::ToolTipRole)
            .toString()
            .startsWith("BLIND · sees only its own session: GRANT VIEW SERVER STATE TO [blind]\n"));
    EXPECT_EQ(Form->ProcessesTL->model()->rowCount({}), 0);
    // One entry in the error log, not one per refresh.
    ASSERT_EQ(Form->ErrorsTL->topLevelItemCount(), 1);
    EXPECT_TRUE(Form->ErrorsTL->topLevelItem(0)
                    ->text(TErrorLog::ErrDescriptionTLC)
                    .startsWith("sees only its own session: GRANT VIEW SERVER STATE TO [blind]"));
}

// A first start: the empty process view says how to begin, its button registers a server, and
// the hint goes with the first server and comes back with the last one gone.
TEST_F(MainFormTest, TheEmptyWindowSaysHowToBeginUntilAServerIsRegistered) {
    Start({});
    TFirstStartHint* hint = Form->FirstStartHint;
    ASSERT_TRUE(WaitUntil([&] { return hint->isVisible(); }));
    EXPECT_EQ(hint->RegisterB->text(), QString::fromUtf8("Register server…"));
    EXPECT_TRUE(hint->TextL->text().contains("scripts/demo.sh"));
    EXPECT_FALSE(hint->TextL->text().contains(QChar(0x00E2))); // no mojibake
    // It fits the view and stays inside it when the window shrinks.
    const QWidget* area = Form->ProcessesTL->viewport();
    for (const QSize size : {QSize(1100, 700), QSize(500, 400)}) {
        Form->resize(size);
        QCoreApplication::processEvents();
        EXPECT_GE(hint->x(), 0) << size.width();
        EXPECT_LE(hint->geometry().right(), area->width()) << size.width();
        EXPECT_GE(hint->height(), hint->RegisterB->height());
    }

    Answerer.Handler = [](QWidget* w) {
        auto* dialog = qobject_cast<TServerPropsF*>(w);
        ASSERT_NE(dialog, nullptr);
        dialog->ServerE->setText("First");
        dialog->ConnStrE->setText(QString::fromStdString(ConnectionTo(1)));
        dialog->EnabledCB->setChecked(false);
        dialog->OkB->click();
    };
    hint->RegisterB->click();
    ASSERT_EQ(Form->ServersTL->NodeCount(), 1);
    EXPECT_FALSE(hint->isVisible());
    EXPECT_EQ(LoadServers().size(), 1u);

    Answerer.Handler = [](QWidget* w) {
        if (auto* box = qobject_cast<QMessageBox*>(w))
            box->button(QMessageBox::Yes)->click();
    };
    Form->ServersTL->setCurrentItem(Form->ServersTL->Node(0));
    Form->ServerUnregisterA->Execute();
    ASSERT_EQ(Form->ServersTL->NodeCount(), 0);
    EXPECT_TRUE(hint->isVisible());
}

TEST_F(MainFormTest, AWindowWithServersShowsNoFirstStartHint) {
    Start({Server("A", false, ConnectionTo(1))});
    QCoreApplication::processEvents();
    EXPECT_FALSE(Form->FirstStartHint->isVisible());
}

} // namespace
