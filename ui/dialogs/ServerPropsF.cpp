#include "ServerPropsF.h"

#include "ConnectionF.h"
#include "ErrorBox.h"
#include "ServerListFile.h"
#include "SpinEdit.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>

namespace {

constexpr int MinTimeout = 3;
constexpr int MaxTimeout = 600;

} // namespace

TServerPropsF::TServerPropsF(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Server properties"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    GroupBox1 = new QGroupBox(this);
    GroupBox1->setGeometry(5, 8, 396, 131);

    Label1 = new QLabel(QStringLiteral("Name"), GroupBox1);
    ServerE = new QLineEdit(GroupBox1);
    Label2 = new QLabel(QStringLiteral("Connection string"), GroupBox1);
    ConnStrE = new QLineEdit(GroupBox1);
    ConnStrB = new QPushButton(QStringLiteral("..."), GroupBox1);
    Label3 = new QLabel(QStringLiteral("Timeout"), GroupBox1);
    TimeoutSE = new TSpinEdit(MinTimeout, MaxTimeout, GroupBox1);
    TimeoutSE->setValue(5);

    const int editHeight = ServerE->sizeHint().height();
    ServerE->setGeometry(100, 22, 141, editHeight);
    Label1->setGeometry(10, 22, 85, editHeight);
    Label2->setGeometry(10, 22 + editHeight + 4, 200, 17);
    ConnStrE->setGeometry(10, 22 + editHeight + 23, 351, editHeight);
    ConnStrB->setGeometry(365, 22 + editHeight + 23, 21, editHeight);
    TimeoutSE->setGeometry(100, 22 + 2 * editHeight + 29, 76, editHeight);
    Label3->setGeometry(10, 22 + 2 * editHeight + 29, 85, editHeight);
    Label1->setBuddy(ServerE);
    Label2->setBuddy(ConnStrE);
    Label3->setBuddy(TimeoutSE);

    // The check box stands on the frame's top edge, where a frame caption would be.
    EnabledCB = new QCheckBox(QStringLiteral("Enabled"), this);
    EnabledCB->setChecked(true);
    EnabledCB->setAutoFillBackground(true);
    EnabledCB->adjustSize();
    EnabledCB->move(15, 8 - EnabledCB->height() / 2);
    EnabledCB->raise();

    OkB = new QPushButton(QStringLiteral("OK"), this);
    OkB->setGeometry(245, 145, 75, 25);
    OkB->setDefault(true);
    CancelB = new QPushButton(QStringLiteral("Cancel"), this);
    CancelB->setGeometry(326, 145, 75, 25);

    setTabOrder(ServerE, ConnStrE);
    setTabOrder(ConnStrE, ConnStrB);
    setTabOrder(ConnStrB, TimeoutSE);
    setTabOrder(TimeoutSE, EnabledCB);
    setTabOrder(EnabledCB, OkB);
    setTabOrder(OkB, CancelB);
    setFixedSize(407, 175);

    connect(ServerE, &QLineEdit::textChanged, this,
            [this] { GuardedCall([this] { DataChange(); }); });
    connect(ConnStrE, &QLineEdit::textChanged, this,
            [this] { GuardedCall([this] { DataChange(); }); });
    connect(TimeoutSE, &QSpinBox::textChanged, this,
            [this] { GuardedCall([this] { DataChange(); }); });
    connect(EnabledCB, &QCheckBox::toggled, this,
            [this] { GuardedCall([this] { EnabledCBClick(); }); });
    connect(ConnStrB, &QPushButton::clicked, this,
            [this] { GuardedCall([this] { ConnStrBClick(); }); });
    connect(OkB, &QPushButton::clicked, this, &TServerPropsF::accept);
    connect(CancelB, &QPushButton::clicked, this, &QDialog::reject);
}

void TServerPropsF::SetServerInfo(const TServerInfo& Info) {
    EnabledCB->setChecked(Info.Enabled);
    EnabledCBClick();
    ServerE->setText(QString::fromStdString(Info.Name));
    ConnStrE->setText(QString::fromStdString(Info.ConnectionString));
    ConnStrE->setCursorPosition(0);
    TimeoutSE->setValue(
        static_cast<int>(std::clamp<std::uint32_t>(Info.Timeout, MinTimeout, MaxTimeout)));
}

TServerInfo TServerPropsF::GetServerInfo() const {
    TServerInfo info;
    info.Enabled = EnabledCB->isChecked();
    info.Name = ServerE->text().toStdString();
    info.ConnectionString = ConnStrE->text().toStdString();
    info.Timeout = static_cast<std::uint32_t>(TimeoutSE->TakenValue());
    return info;
}

void TServerPropsF::DataChange() {
    OkB->setEnabled(!ServerE->text().isEmpty() && !ConnStrE->text().isEmpty());
}

void TServerPropsF::EnabledCBClick() {
    const bool on = EnabledCB->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(Label1), static_cast<QWidget*>(ServerE),
                       static_cast<QWidget*>(Label2), static_cast<QWidget*>(ConnStrE),
                       static_cast<QWidget*>(ConnStrB), static_cast<QWidget*>(Label3),
                       static_cast<QWidget*>(TimeoutSE)})
        w->setEnabled(on);
}

void TServerPropsF::ConnStrBClick() {
    QString text = ConnStrE->text();
    if (BuildConnectionString(text, this))
        ConnStrE->setText(text);
}

void TServerPropsF::accept() {
    GuardedCall([this] {
        // Enter reaches the default button even while it is disabled; the OK rule holds.
        if (!OkB->isEnabled())
            return;
        const QString name = ServerE->text();
        const auto same =
            std::find_if(OtherNames.cbegin(), OtherNames.cend(), [&](const QString& other) {
                return SameServerName(name.toStdString(), other.toStdString());
            });
        if (same != OtherNames.cend()) {
            ShowErrorText(QStringLiteral("A server named \"%1\" is already registered; choose "
                                         "another name")
                              .arg(*same));
            ServerE->setFocus();
            ServerE->selectAll();
            return;
        }
        QDialog::accept();
    });
}

bool EditServerProperties(TServerInfo& Info, bool IsNew, const QStringList& otherNames,
                          QWidget* parent) {
    TServerPropsF dialog(parent);
    dialog.OtherNames = otherNames;
    if (!IsNew)
        dialog.SetServerInfo(Info);
    dialog.DataChange();
    if (dialog.ServerE->isEnabled())
        dialog.ServerE->setFocus();
    else
        dialog.EnabledCB->setFocus();
    if (dialog.exec() != QDialog::Accepted)
        return false;
    Info = dialog.GetServerInfo();
    return true;
}
