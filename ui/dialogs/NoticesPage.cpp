#include "NoticesPage.h"

#include "Errors.h"
#include "NoticePayload.h"
#include "NoticeSender.h"
#include "NoticeTransport.h"
#include "NoticeUrl.h"
#include "Settings.h"
#include "SpinEdit.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

TNoticesPage::TNoticesPage(QWidget* parent)
    : QGroupBox(QStringLiteral("Notices that leave the desk"), parent) {
    ImpactAlertSE = new TSpinEdit(0, 65535, this);
    ImpactAlertSE->setToolTip(QStringLiteral(
        "A server's blocked sessions, their waits added up, at or above this many seconds count "
        "as an incident: at once at three times it, otherwise after three refreshes in a row. "
        "0: a wait past the warning threshold counts."));
    CooldownSE = new TSpinEdit(0, 65535, this);
    CooldownSE->setToolTip(QStringLiteral("At most one notice per server and event this often"));
    WebhookUrlE = new QLineEdit(this);
    WebhookUrlE->setPlaceholderText(QStringLiteral("https://hooks.example.com/…"));
    WebhookFormatCB = new QComboBox(this);
    WebhookFormatCB->addItems(
        {QStringLiteral("json"), QStringLiteral("slack"), QStringLiteral("teams")});
    WebhookTestB = new QPushButton(QStringLiteral("Send test notice"), this);
    SmtpUrlE = new QLineEdit(this);
    SmtpUrlE->setPlaceholderText(QStringLiteral("smtp://mail.example.com:587 or smtps://…"));
    SmtpFromE = new QLineEdit(this);
    SmtpToE = new QLineEdit(this);
    SmtpToE->setPlaceholderText(QStringLiteral("dba@example.com, oncall@example.com"));
    SmtpUserE = new QLineEdit(this);
    SmtpPasswordE = new QLineEdit(this);
    SmtpPasswordE->setEchoMode(QLineEdit::Password);
    SmtpTestB = new QPushButton(QStringLiteral("Send test notice"), this);
    WarningL = new QLabel(this);
    WarningL->setObjectName(QStringLiteral("NoticeWarningL"));
    WarningL->setTextFormat(Qt::PlainText);
    WarningL->setWordWrap(true);
    WarningL->setStyleSheet(QStringLiteral("color: #a05a00"));
    TestL = new QLabel(this);
    TestL->setObjectName(QStringLiteral("NoticeTestL"));
    TestL->setTextFormat(Qt::PlainText);
    TestL->setWordWrap(true);
    for (QLineEdit* e : {WebhookUrlE, SmtpUrlE, SmtpFromE, SmtpToE, SmtpUserE, SmtpPasswordE})
        e->setMinimumWidth(260);

    auto* form = new QFormLayout(this);
    form->setContentsMargins(10, 8, 12, 8);
    form->addRow(QStringLiteral("Alert when the summed wait reaches (sec)"), ImpactAlertSE);
    form->addRow(QStringLiteral("One notice per server and event every (sec)"), CooldownSE);
    form->addRow(QStringLiteral("Webhook URL"), WebhookUrlE);
    auto* webhookRow = new QHBoxLayout;
    webhookRow->addWidget(WebhookFormatCB);
    webhookRow->addStretch(1);
    webhookRow->addWidget(WebhookTestB);
    form->addRow(QStringLiteral("Webhook shape"), webhookRow);
    form->addRow(QStringLiteral("SMTP URL"), SmtpUrlE);
    form->addRow(QStringLiteral("From"), SmtpFromE);
    form->addRow(QStringLiteral("To"), SmtpToE);
    form->addRow(QStringLiteral("SMTP user"), SmtpUserE);
    form->addRow(QStringLiteral("SMTP password"), SmtpPasswordE);
    auto* smtpRow = new QHBoxLayout;
    smtpRow->addStretch(1);
    smtpRow->addWidget(SmtpTestB);
    form->addRow(smtpRow);
    form->addRow(WarningL);
    form->addRow(TestL);

    if (!NoticesAvailable()) {
        for (QWidget* w : std::initializer_list<QWidget*>{
                 WebhookUrlE, WebhookFormatCB, WebhookTestB, SmtpUrlE, SmtpFromE, SmtpToE,
                 SmtpUserE, SmtpPasswordE, SmtpTestB})
            w->setEnabled(false);
        TestL->setText(QStringLiteral(
            "This build of the program sends no notices (it was built without libcurl)."));
    }
    for (QLineEdit* e : {WebhookUrlE, SmtpUrlE, SmtpPasswordE})
        connect(e, &QLineEdit::textChanged, this, [this] { UpdateWarnings(); });
    connect(WebhookTestB, &QPushButton::clicked, this, [this] { SendTest(0); });
    connect(SmtpTestB, &QPushButton::clicked, this, [this] { SendTest(1); });
}

void TNoticesPage::SettingsToControls() {
    ImpactAlertSE->setValue(ImpactAlertSeconds);
    CooldownSE->setValue(NotifyCooldown);
    WebhookUrlE->setText(QString::fromStdString(WebhookUrl));
    const int format = WebhookFormatCB->findText(QString::fromStdString(WebhookFormat).toLower());
    WebhookFormatCB->setCurrentIndex(format < 0 ? 0 : format);
    SmtpUrlE->setText(QString::fromStdString(SmtpUrl));
    SmtpFromE->setText(QString::fromStdString(SmtpFrom));
    SmtpToE->setText(QString::fromStdString(SmtpTo));
    SmtpUserE->setText(QString::fromStdString(SmtpUser));
    SmtpPasswordE->setText(QString::fromStdString(SmtpPassword));
    UpdateWarnings();
}

void TNoticesPage::ControlsToSettings() {
    ImpactAlertSeconds = LimitToUInt16Setting(ImpactAlertSE->TakenValue(), 0);
    NotifyCooldown = LimitToUInt16Setting(CooldownSE->TakenValue(), 0);
    WebhookUrl = WebhookUrlE->text().trimmed().toStdString();
    WebhookFormat = WebhookFormatCB->currentText().toStdString();
    SmtpUrl = SmtpUrlE->text().trimmed().toStdString();
    SmtpFrom = SmtpFromE->text().trimmed().toStdString();
    SmtpTo = SmtpToE->text().trimmed().toStdString();
    SmtpUser = SmtpUserE->text().toStdString();
    SmtpPassword = SmtpPasswordE->text().toStdString();
}

std::string TNoticesPage::Refusal() const {
    const std::string webhook = WebhookUrlE->text().trimmed().toStdString();
    if (!webhook.empty())
        if (std::string bad = CheckNoticeUrl(webhook, TNoticeChannel::Webhook); !bad.empty())
            return bad;
    const std::string smtp = SmtpUrlE->text().trimmed().toStdString();
    if (smtp.empty())
        return {};
    if (std::string bad = CheckNoticeUrl(smtp, TNoticeChannel::Mail); !bad.empty())
        return bad;
    try {
        CheckMailAddresses(SmtpFromE->text().trimmed().toStdString(), "The sender (From)");
        CheckMailAddresses(SmtpToE->text().trimmed().toStdString(), "The recipients (To)");
    } catch (const Exception& error) {
        return error.what();
    }
    // The password goes into a file of INI lines: a line break there would start a new key.
    const std::string user = SmtpUserE->text().toStdString();
    const std::string password = SmtpPasswordE->text().toStdString();
    if ((user + password).find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        return "The SMTP user or password contains a line break";
    return {};
}

void TNoticesPage::UpdateWarnings() {
    QStringList warnings;
    if (const std::string w = WebhookUrlWarning(WebhookUrlE->text().trimmed().toStdString());
        !w.empty())
        warnings << QString::fromStdString(w);
    if (const std::string w = MailUrlWarning(SmtpUrlE->text().trimmed().toStdString(),
                                             SmtpPasswordE->text().toStdString());
        !w.empty())
        warnings << QString::fromStdString(w);
    WarningL->setText(warnings.join('\n'));
    WarningL->setVisible(!warnings.isEmpty());
}

TNoticeTarget TNoticesPage::Target(int channel) const {
    TNoticeTarget t;
    t.Channel = channel == 0 ? TNoticeChannel::Webhook : TNoticeChannel::Mail;
    if (channel == 0) {
        t.Url = WebhookUrlE->text().trimmed().toStdString();
        t.Format = WebhookFormatFromName(WebhookFormatCB->currentText().toStdString())
                       .value_or(TWebhookFormat::Json);
    } else {
        t.Url = SmtpUrlE->text().trimmed().toStdString();
        t.From = SmtpFromE->text().trimmed().toStdString();
        t.To = SmtpToE->text().trimmed().toStdString();
        t.User = SmtpUserE->text().toStdString();
        t.Password = SmtpPasswordE->text().toStdString();
    }
    t.LoopbackOnly = LoopbackOnly;
    t.CaFile = CaFile;
    return t;
}

void TNoticesPage::SendTest(int channel) {
    const TNoticeTarget target = Target(channel);
    if (target.Url.empty()) {
        TestL->setText(channel == 0 ? QStringLiteral("No webhook URL to send to.")
                                    : QStringLiteral("No SMTP URL to send to."));
        return;
    }
    TNotice notice;
    notice.Event = "test";
    notice.Server = "Tallyvane";
    notice.TimeMs = QDateTime::currentMSecsSinceEpoch();
    QPushButton* button = channel == 0 ? WebhookTestB : SmtpTestB;
    button->setEnabled(false);
    TestL->setText(QStringLiteral("Sending a test notice…"));
    QPointer<TNoticesPage> self(this);
    TNoticeSender::SendTest(target, notice, [self, button](const std::string& error) {
        // From the sending thread back to the dialog, if it is still open.
        QMetaObject::invokeMethod(
            qApp,
            [self, button, error] {
                if (!self)
                    return;
                button->setEnabled(true);
                self->TestL->setText(error.empty() ? QStringLiteral("Test notice sent.")
                                                   : QString::fromStdString(error) + '.');
            },
            Qt::QueuedConnection);
    });
}
