// The settings dialog's notices part: OK stores the channels (the password in the settings
// file, which only its owner can read), refuses a URL that could smuggle a header or reach for
// a file, warns about secrets sent in clear, and "Send test notice" reaches a real receiver on
// the loopback without holding up the dialog.
#include "NoticesPage.h"

#include "FileNames.h"
#include "ModalDriver.h"
#include "NoticeReceivers.h"
#include "Settings.h"
#include "SettingsF.h"
#include "SpinEdit.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace dialogtest;

namespace {

class NoticesPage : public testing::Test {
protected:
    NoticesPage() {
        ResetSettings();
        SettingsFileName = Dir.filePath(QStringLiteral("tallyvane.ini")).toStdString();
    }
    ~NoticesPage() override {
        ResetSettings();
        TNoticesPage::LoopbackOnly = false;
        TNoticesPage::CaFile.clear();
    }
    QTemporaryDir Dir;
};

TEST_F(NoticesPage, OkStoresTheChannelsAndThePasswordPrivately) {
    OnNext<TSettingsF>([](TSettingsF* f) {
        TNoticesPage* n = f->Notices;
        EXPECT_EQ(n->CooldownSE->value(), 600);
        n->ImpactAlertSE->setValue(60);
        n->WebhookUrlE->setText("https://hooks.example.com/services/T0/B0/abc");
        n->WebhookFormatCB->setCurrentText("teams");
        n->SmtpUrlE->setText("smtps://mail.example.com:465");
        n->SmtpFromE->setText("tallyvane@example.com");
        n->SmtpToE->setText("dba@example.com, oncall@example.com");
        n->SmtpUserE->setText("notify");
        n->SmtpPasswordE->setText("Mail;Pass=1 ");
        EXPECT_EQ(n->SmtpPasswordE->echoMode(), QLineEdit::Password);
        f->OkB->click();
    });
    ASSERT_TRUE(EditSettings());
    EXPECT_EQ(ImpactAlertSeconds, 60);
    EXPECT_EQ(WebhookFormat, "teams");
    EXPECT_EQ(SmtpTo, "dba@example.com, oncall@example.com");
    const std::string password = SmtpPassword;
    EXPECT_EQ(password, "Mail;Pass=1 ");
    QFile file(QString::fromStdString(SettingsFileName));
    EXPECT_EQ(file.permissions() & (QFile::ReadGroup | QFile::ReadOther), 0);
    SmtpPassword.clear();
    WebhookUrl.clear();
    LoadSettings();
    EXPECT_EQ(SmtpPassword, password);
    EXPECT_EQ(WebhookUrl, "https://hooks.example.com/services/T0/B0/abc");
}

TEST_F(NoticesPage, OkRefusesUrlsThatCouldAddAHeaderOrReachElsewhere) {
    for (const char* url : {"https://x.example.com/a\r\nX-Evil: 1", "file:///etc/passwd",
                            "gopher://127.0.0.1:70/_x"}) {
        QString said;
        OnNext<TSettingsF>([&](TSettingsF* f) {
            f->Notices->WebhookUrlE->setText(QString::fromUtf8(url));
            AcceptNextMessage(&said);
            f->OkB->click();
            QTest::qWait(50);
            EXPECT_TRUE(f->isVisible()) << url;
            f->CancelB->click();
        });
        EXPECT_FALSE(EditSettings()) << url;
        EXPECT_TRUE(said.contains("webhook URL")) << said.toStdString();
        EXPECT_EQ(WebhookUrl, "");
    }
}

TEST_F(NoticesPage, WarnsWhileTypingASecretThatWouldTravelInClear) {
    TNoticesPage page;
    page.SettingsToControls();
    EXPECT_TRUE(page.WarningL->isHidden());
    page.WebhookUrlE->setText("http://hooks.example.com/services/T000/B000/XXXXXXXXXXXXXXXXXXXX");
    EXPECT_FALSE(page.WarningL->isHidden());
    EXPECT_TRUE(page.WarningL->text().contains("https://"));
    page.WebhookUrlE->setText("https://hooks.example.com/services/T000/B000/XXXXXXXXXXXXXXXXXXXX");
    EXPECT_TRUE(page.WarningL->isHidden());
    page.SmtpUrlE->setText("smtp://mail.example.com:587");
    page.SmtpPasswordE->setText("secret");
    EXPECT_TRUE(page.WarningL->text().contains("STARTTLS"));
}

TEST_F(NoticesPage, SendTestNoticeReachesTheReceiverAndSaysSo) {
    TNoticeReceivers receivers;
    TNoticesPage::LoopbackOnly = true;
    TNoticesPage::CaFile = receivers.CaFile();
    TNoticesPage page;
    page.SettingsToControls();
    page.WebhookUrlE->setText(QString::fromStdString(receivers.Url("https", "/test")));
    page.WebhookTestB->click();
    EXPECT_FALSE(page.WebhookTestB->isEnabled()); // sending, off the GUI thread
    QElapsedTimer t;
    t.start();
    while (!page.WebhookTestB->isEnabled() && t.elapsed() < 15000)
        QTest::qWait(20);
    EXPECT_EQ(page.TestL->text(), "Test notice sent.");
    const QJsonArray got = receivers.WaitFor("https", 1);
    ASSERT_EQ(got.size(), 1);
    EXPECT_EQ(QJsonDocument::fromJson(got[0].toObject()["body"].toString().toUtf8())
                  .object()["event"]
                  .toString(),
              "test");
    // A mail server that refuses the password: the error is shown, without the password.
    page.SmtpUrlE->setText(QString::fromStdString(receivers.Url("smtp")));
    page.SmtpFromE->setText("tallyvane@example.com");
    page.SmtpToE->setText("dba@example.com");
    page.SmtpUserE->setText("notify");
    page.SmtpPasswordE->setText("Wrong-Pass-7");
    page.SmtpTestB->click();
    t.restart();
    while (!page.SmtpTestB->isEnabled() && t.elapsed() < 15000)
        QTest::qWait(20);
    EXPECT_TRUE(page.TestL->text().contains("refused the user name or password"))
        << page.TestL->text().toStdString();
    EXPECT_FALSE(page.TestL->text().contains("Wrong-Pass-7"));
}

} // namespace
