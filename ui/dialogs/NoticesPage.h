// The settings dialog's part for notices that leave the desk: the impact bar and the cooldown,
// the webhook (URL and shape) and the e-mail channel (SMTP URL, sender, recipients, login),
// each with "Send test notice", which sends what the fields say now, off the GUI thread, and
// shows the outcome beneath. A setting that sends a secret unencrypted gets a warning as it is
// typed. A build without libcurl shows the fields disabled, with a note saying why.
#pragma once

#include <QGroupBox>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TSpinEdit;
struct TNoticeTarget;

class TNoticesPage : public QGroupBox {
    Q_OBJECT
public:
    explicit TNoticesPage(QWidget* parent = nullptr);

    void SettingsToControls();
    void ControlsToSettings();
    // Empty when the fields may be taken, otherwise what is wrong with them.
    std::string Refusal() const;
    void UpdateWarnings();
    // Sends a test notice through the webhook (0) or the e-mail channel (1).
    void SendTest(int channel);

    // Tests: only loopback addresses, and an authority to trust.
    static inline bool LoopbackOnly = false;
    static inline std::string CaFile;

    TSpinEdit* ImpactAlertSE;
    TSpinEdit* CooldownSE;
    QLineEdit* WebhookUrlE;
    QComboBox* WebhookFormatCB;
    QPushButton* WebhookTestB;
    QLineEdit* SmtpUrlE;
    QLineEdit* SmtpFromE;
    QLineEdit* SmtpToE;
    QLineEdit* SmtpUserE;
    QLineEdit* SmtpPasswordE;
    QPushButton* SmtpTestB;
    QLabel* WarningL; // warnings about secrets sent in clear
    QLabel* TestL;    // the outcome of the last test notice

private:
    TNoticeTarget Target(int channel) const;
};
