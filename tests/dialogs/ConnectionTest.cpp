// The connection dialog: reading and writing connection strings, and "Test connection"
// against a real tdssim.
#include "ConnectionF.h"
#include "ModalDriver.h"
#include "TdsSimProcess.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace dialogtest;
using tallyvane::testsupport::TdsSimProcess;

TEST(ConnectionSettings, ReadsWhatTheDialogShowsAndKeepsTheRest) {
    const TConnectionSettings s = TConnectionSettings::FromString(QStringLiteral(
        "Provider=SQLOLEDB.1;Password=\"p;w\";Persist Security Info=True;User ID=sa;"
        "Initial Catalog=Sales;Data Source=db1\\INST;Connect Timeout=7;Encrypt=yes"));
    EXPECT_EQ(s.Server, QStringLiteral("db1\\INST"));
    EXPECT_FALSE(s.Integrated);
    EXPECT_EQ(s.UserName, QStringLiteral("sa"));
    EXPECT_EQ(s.Password, QStringLiteral("p;w"));
    EXPECT_TRUE(s.SavePassword);
    EXPECT_EQ(s.Database, QStringLiteral("Sales"));
    ASSERT_EQ(s.OtherPieces.size(), 2u);
    EXPECT_EQ(s.ToString(), QStringLiteral("Provider=SQLOLEDB.1;Password=\"p;w\";Persist Security "
                                           "Info=True;User ID=sa;Initial Catalog=Sales;Data "
                                           "Source=db1\\INST;Connect Timeout=7;Encrypt=yes"));
}

TEST(ConnectionSettings, WritesOleDbStringsForEachWayOfLoggingOn) {
    TConnectionSettings s;
    s.Server = QStringLiteral("127.0.0.1,1433");
    s.Integrated = true;
    s.UserName = QStringLiteral("ignored");
    EXPECT_EQ(s.ToString(), QStringLiteral("Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist "
                                           "Security Info=False;Data Source=127.0.0.1,1433"));
    s.Integrated = false;
    s.UserName = QStringLiteral("sa");
    s.Password = QStringLiteral("secret");
    // Without "allow saving password" the password stays out: the program asks for it.
    EXPECT_EQ(s.ToString(), QStringLiteral("Provider=SQLOLEDB.1;Persist Security Info=False;User "
                                           "ID=sa;Data Source=127.0.0.1,1433"));
    s.SavePassword = true;
    s.Password = QStringLiteral("it's \"x\"");
    EXPECT_EQ(s.ToString(),
              QStringLiteral("Provider=SQLOLEDB.1;Password=\"it's \"\"x\"\"\";Persist "
                             "Security Info=True;User ID=sa;Data "
                             "Source=127.0.0.1,1433"));
    // What is written reads back the same.
    const TConnectionSettings back = TConnectionSettings::FromString(s.ToString());
    EXPECT_EQ(back.Password, s.Password);
    EXPECT_EQ(back.UserName, s.UserName);
    EXPECT_EQ(back.Server, s.Server);
    EXPECT_TRUE(back.SavePassword);
}

TEST(ConnectionSettings, IntegratedSecurityIsRecognisedInItsSpellings) {
    for (const char* text : {"Integrated Security=SSPI", "integrated security=sspi",
                             "Trusted_Connection=Yes", "Integrated Security=True"})
        EXPECT_TRUE(TConnectionSettings::FromString(QString::fromLatin1(text)).Integrated) << text;
    EXPECT_FALSE(
        TConnectionSettings::FromString(QStringLiteral("Integrated Security=False")).Integrated);
}

TEST(ConnectionSettings, StartsFromADataLinkFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sales.udl"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    const QString content = QStringLiteral("[oledb]\r\n; Everything after this line is an OLE DB "
                                           "initstring\r\nProvider=SQLOLEDB.1;User ID=report;"
                                           "Data Source=db9\r\n");
    file.write("\xFF\xFE", 2);
    file.write(reinterpret_cast<const char*>(content.utf16()), content.size() * 2);
    file.close();
    const TConnectionSettings s =
        TConnectionSettings::FromString(QStringLiteral("FILE NAME=") + path);
    EXPECT_EQ(s.Server, QStringLiteral("db9"));
    EXPECT_EQ(s.UserName, QStringLiteral("report"));
}

TEST(ConnectionTestAgainstSim, AnswersWithTheServersVersionOrItsError) {
    TdsSimProcess sim("demo");
    const std::string server = "127.0.0.1," + std::to_string(sim.port());
    const std::string plain = "Provider=SQLOLEDB.1;Persist Security Info=False;User ID=sa;"
                              "Data Source=" +
                              server;
    const std::string answer = TestConnection(plain, "sa", TdsSimProcess::kAdminPassword, 10);
    EXPECT_NE(answer.find("Microsoft SQL Server"), std::string::npos) << answer;
    try {
        TestConnection(plain, "sa", "wrong", 10);
        ADD_FAILURE() << "a wrong password connected";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("Login failed for user 'sa'"), std::string::npos)
            << e.what();
    }
}

TEST(ConnectionTestAgainstSim, TheAnswerSaysWhetherTheConnectionIsEncrypted) {
    TdsSimProcess sim("demo", 1, std::chrono::seconds(10), {"--encryption", "on"});
    const std::string base =
        "Provider=SQLOLEDB.1;User ID=sa;Data Source=127.0.0.1," + std::to_string(sim.port());
    const struct {
        std::string Pieces;
        std::string Says;
    } cases[] = {
        {"", "Encrypted (TLSv1.2), certificate not verified (encryption not required)."},
        {";Encrypt=yes;TrustServerCertificate=yes",
         "Encrypted (TLSv1.2), certificate not verified (TrustServerCertificate)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Pieces);
        const std::string answer =
            TestConnection(base + c.Pieces, "sa", TdsSimProcess::kAdminPassword, 10);
        EXPECT_NE(answer.find("Microsoft SQL Server"), std::string::npos) << answer;
        EXPECT_NE(answer.find("\n\n" + c.Says), std::string::npos) << answer;
    }
    // The simulator's own certificate is self-signed: a checked connection is refused, and
    // the reason says so.
    try {
        TestConnection(base + ";Encrypt=yes", "sa", TdsSimProcess::kAdminPassword, 10);
        ADD_FAILURE() << "an untrusted certificate was accepted";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("is not trusted: self-signed certificate"),
                  std::string::npos)
            << e.what();
    }
}

TEST(ConnectionTestAgainstSim, TheButtonReportsSuccessAndFailureAndKeepsTheDialogOpen) {
    TdsSimProcess sim("demo");
    TConnectionF f;
    f.SetSettings(TConnectionSettings::FromString(
        QStringLiteral("Provider=SQLOLEDB.1;User ID=viewer;Data Source=127.0.0.1,%1")
            .arg(sim.port())));
    f.PasswordE->setText(QString::fromLatin1(TdsSimProcess::kViewerPassword));

    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    AcceptNextMessage(&text, &icon);
    f.TestBClick();
    EXPECT_EQ(icon, QMessageBox::Information);
    EXPECT_TRUE(text.startsWith(QStringLiteral("Test connection succeeded.")))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("Microsoft SQL Server"))) << text.toStdString();
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    f.PasswordE->setText(QStringLiteral("nope"));
    AcceptNextMessage(&text, &icon);
    f.TestBClick();
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_TRUE(text.contains(QStringLiteral("Login failed for user 'viewer'")))
        << text.toStdString();
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    // The password was not to be saved, so the string holds none.
    EXPECT_FALSE(f.GetSettings().ToString().contains(QStringLiteral("nope")));
}
