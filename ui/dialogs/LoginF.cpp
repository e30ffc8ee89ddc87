#include "LoginF.h"

#include <QDialogButtonBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int MaxCredentialLength = 31;
constexpr int PanelWidth = 270;

} // namespace

TLoginF::TLoginF(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Database Login"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    auto* panel = new QFrame(this);
    panel->setFrameShape(QFrame::StyledPanel);
    panel->setFrameShadow(QFrame::Sunken);
    panel->setFixedWidth(PanelWidth);

    auto* databaseLabel = new QLabel(QStringLiteral("Database:"), panel);
    DatabaseName = new QLabel(panel);
    // A long name is cut off 5 pixels before the panel's right edge, not wrapped.
    DatabaseName->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    DatabaseName->setTextFormat(Qt::PlainText);
    auto* line = new QFrame(panel);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);

    UserNameE = new QLineEdit(panel);
    UserNameE->setMaxLength(MaxCredentialLength);
    PasswordE = new QLineEdit(panel);
    PasswordE->setMaxLength(MaxCredentialLength);
    PasswordE->setEchoMode(QLineEdit::Password);
    auto* userLabel = new QLabel(QStringLiteral("&User Name:"), panel);
    userLabel->setBuddy(UserNameE);
    auto* passwordLabel = new QLabel(QStringLiteral("&Password:"), panel);
    passwordLabel->setBuddy(PasswordE);

    auto* databaseRow = new QHBoxLayout;
    databaseRow->setContentsMargins(0, 0, 5 - panel->frameWidth(), 0);
    databaseRow->addWidget(databaseLabel);
    databaseRow->addWidget(DatabaseName, 1);

    auto* fields = new QGridLayout;
    fields->addWidget(userLabel, 0, 0);
    fields->addWidget(UserNameE, 0, 1);
    fields->addWidget(passwordLabel, 1, 0);
    fields->addWidget(PasswordE, 1, 1);

    auto* panelLayout = new QVBoxLayout(panel);
    panelLayout->setContentsMargins(10, 8, 10, 10);
    panelLayout->addLayout(databaseRow);
    panelLayout->addWidget(line);
    panelLayout->addLayout(fields);

    OkB = new QPushButton(QStringLiteral("&OK"), this);
    OkB->setDefault(true);
    CancelB = new QPushButton(QStringLiteral("Cancel"), this);
    connect(OkB, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelB, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(OkB);
    buttons->addWidget(CancelB);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(panel);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(UserNameE, PasswordE);
    setTabOrder(PasswordE, OkB);
    setTabOrder(OkB, CancelB);
}

namespace Dialogs {

bool LoginDialog(const std::string& serverName, std::string& userName, std::string& password) {
    TLoginF dialog;
    dialog.DatabaseName->setText(QString::fromStdString(serverName));
    dialog.UserNameE->setText(QString::fromStdString(userName));
    if (dialog.UserNameE->text().isEmpty())
        dialog.UserNameE->setFocus();
    else
        dialog.PasswordE->setFocus();
    if (dialog.exec() != QDialog::Accepted)
        return false;
    userName = dialog.UserNameE->text().toStdString();
    password = dialog.PasswordE->text().toStdString();
    return true;
}

} // namespace Dialogs
