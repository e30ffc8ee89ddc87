// The default error display: title rule, full-stop rule, the box itself, and GuardedCall.
#include "ErrorBox.h"

#include "DialogHooks.h"
#include "Errors.h"
#include "ModalDriver.h"
#include "UiHooks.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace dialogtest;

TEST(ErrorBox, TitleIsTheFileNameUpToItsFirstDotWithTheRestInLowerCase) {
    const struct {
        const char* file;
        const char* title;
    } cases[] = {
        {"Tallyvane.exe", "Tallyvane"},
        {"TALLYVANE", "Tallyvane"},
        {"tallyvane", "tallyvane"}, // the first character is kept as it is
        {"my.prog.v2", "my"},
        {".hidden", ""},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ApplicationTitleOf(QString::fromLatin1(c.file)), QString::fromLatin1(c.title))
            << c.file;
    EXPECT_EQ(ApplicationTitle(),
              ApplicationTitleOf(QFileInfo(QCoreApplication::applicationFilePath()).fileName()));
}

TEST(ErrorBox, FullStopOnlyAfterACharacterThatSortsAfterTheFullStop) {
    const struct {
        const char* message;
        const char* shown;
    } cases[] = {
        {"Connection is not established!", "Connection is not established!"},
        {"Login failed for user 'sa'.", "Login failed for user 'sa'."},
        {"Timeout expired", "Timeout expired."},
        {"Error 42", "Error 42."},    // digits sort after "."
        {"quoted 'x'", "quoted 'x'"}, // "'" sorts before "."
        {"path/", "path/."},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WithFullStop(QString::fromLatin1(c.message)), QString::fromLatin1(c.shown))
            << c.message;
}

TEST(ErrorBox, ShowsAStopIconWithTheApplicationTitle) {
    QString text, title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    AcceptNextMessage(&text, &icon, &title);
    ShowErrorText(QStringLiteral("Cannot open file x"));
    EXPECT_EQ(text, QStringLiteral("Cannot open file x."));
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_EQ(title, ApplicationTitle());
}

TEST(ErrorBox, GuardedCallShowsWhatEscapesAndCarriesOn) {
    QString text;
    AcceptNextMessage(&text);
    GuardedCall([] { throw Exception("Unable to write to settings.ini"); });
    EXPECT_EQ(text, QStringLiteral("Unable to write to settings.ini."));

    AcceptNextMessage(&text);
    GuardedCall([] { throw 42; });
    EXPECT_EQ(text, QStringLiteral("Unknown error."));

    bool ran = false;
    GuardedCall([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(ErrorBox, InstalledHooksReachTheBoxAndTheLoginDialog) {
    InstallDialogHooks();
    QString text;
    AcceptNextMessage(&text);
    ::ShowErrorMessage(Exception("Connection is not established!"));
    EXPECT_EQ(text, QStringLiteral("Connection is not established!"));

    OnNextModal([](QWidget* w) {
        EXPECT_EQ(w->windowTitle(), QStringLiteral("Database Login"));
        w->close();
    });
    std::string user = "sa", password = "x";
    EXPECT_FALSE(::LoginDialog("SIMSRV", user, password));
    EXPECT_EQ(user, "sa");
    EXPECT_EQ(password, "x");
}
