// "Database Login": its fields and focus rule, and the monitor's login loop through it against
// a real tdssim (wrong password, then the right one; cancel).
#include "DialogHooks.h"
#include "LoginF.h"
#include "ModalDriver.h"
#include "ServerData.h"
#include "ServerOwner.h"
#include "TdsSimProcess.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

using namespace dialogtest;
using tallyvane::testsupport::TdsSimProcess;

namespace {

class TOwner : public IServerOwner {
public:
    void ServerChanged(TServerData&) override { ++Changes; }
    bool Warn(TServerData&) override { return false; }
    void LogError(const std::string&, const std::exception& error) override {
        Logged.push_back(error.what());
    }
    int Changes = 0;
    std::vector<std::string> Logged;
};

} // namespace

TEST(LoginDialog, ShowsTheServerAndTakesAtMost31MaskedCharacters) {
    OnNext<TLoginF>([](TLoginF* f) {
        EXPECT_EQ(f->windowTitle(), QStringLiteral("Database Login"));
        EXPECT_EQ(f->DatabaseName->text(), QStringLiteral("SIMSRV"));
        EXPECT_EQ(f->UserNameE->text(), QStringLiteral("sa"));
        EXPECT_TRUE(f->PasswordE->text().isEmpty());
        EXPECT_EQ(f->PasswordE->echoMode(), QLineEdit::Password);
        EXPECT_EQ(f->focusWidget(), f->PasswordE);
        EXPECT_TRUE(f->OkB->isDefault());
        QTest::keyClicks(f->PasswordE, QString(40, u'p'));
        EXPECT_EQ(f->PasswordE->text().size(), 31);
        TypeInto(f->UserNameE, QString(40, u'u'));
        EXPECT_EQ(f->UserNameE->text().size(), 31);
        QTest::keyClick(f->PasswordE, Qt::Key_Return);
    });
    std::string user = "sa", password = "old";
    ASSERT_TRUE(Dialogs::LoginDialog("SIMSRV", user, password));
    EXPECT_EQ(user, std::string(31, 'u'));
    EXPECT_EQ(password, std::string(31, 'p'));
}

TEST(LoginDialog, FocusStartsOnTheUserNameWhenNoneIsKnownAndCancelChangesNothing) {
    OnNext<TLoginF>([](TLoginF* f) {
        EXPECT_EQ(f->focusWidget(), f->UserNameE);
        TypeInto(f->UserNameE, QStringLiteral("someone"));
        f->CancelB->click();
    });
    std::string user, password = "kept";
    EXPECT_FALSE(Dialogs::LoginDialog("SIMSRV", user, password));
    EXPECT_EQ(user, "");
    EXPECT_EQ(password, "kept");
}

TEST(LoginAgainstSim, WrongPasswordIsShownAndAskedAgainThenTheRightOneConnects) {
    TdsSimProcess sim("demo");
    InstallDialogHooks();
    TServerInfo info;
    info.Name = "Sim";
    info.Timeout = 10;
    info.ConnectionString = "Provider=SQLOLEDB.1;Persist Security Info=False;User ID=sa;"
                            "Data Source=127.0.0.1," +
                            std::to_string(sim.port());
    QString error;
    int prompts = 0;
    OnNext<TLoginF>([&](TLoginF* f) {
        ++prompts;
        EXPECT_EQ(f->DatabaseName->text(), QStringLiteral("Sim"));
        EXPECT_EQ(f->UserNameE->text(), QStringLiteral("sa"));
        TypeInto(f->PasswordE, QStringLiteral("wrong"));
        // The error box comes after this dialog closed, then the dialog again.
        OnNext<QMessageBox>([&](QMessageBox* box) {
            error = box->text();
            OnNext<TLoginF>([&](TLoginF* again) {
                ++prompts;
                EXPECT_EQ(again->UserNameE->text(), QStringLiteral("sa"));
                EXPECT_TRUE(again->PasswordE->text().isEmpty());
                TypeInto(again->PasswordE, QString::fromLatin1(TdsSimProcess::kAdminPassword));
                again->OkB->click();
            });
            box->accept();
        });
        f->OkB->click();
    });
    TOwner owner;
    TServerData server(owner, info);
    EXPECT_EQ(prompts, 2);
    EXPECT_TRUE(error.startsWith(QStringLiteral("Login failed for user 'sa'")))
        << error.toStdString();
    EXPECT_TRUE(server.Enabled);
    EXPECT_TRUE(server.IsSysAdmin);
    EXPECT_TRUE(server.ADOConnection.Connected());
    EXPECT_TRUE(owner.Logged.empty());
}

TEST(LoginAgainstSim, CancelSwitchesTheMonitorOffWithoutConnecting) {
    TdsSimProcess sim("demo");
    InstallDialogHooks();
    TServerInfo info;
    info.Name = "Sim";
    info.Timeout = 10;
    info.ConnectionString =
        "Provider=SQLOLEDB.1;User ID=viewer;Data Source=127.0.0.1," + std::to_string(sim.port());
    OnNext<TLoginF>([](TLoginF* f) { f->CancelB->click(); });
    TOwner owner;
    TServerData server(owner, info);
    EXPECT_FALSE(server.Enabled);
    EXPECT_TRUE(server.Info.Enabled);
    EXPECT_TRUE(owner.Logged.empty());
    EXPECT_TRUE(sim.sessions().empty());
}
