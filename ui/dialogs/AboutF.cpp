#include "AboutF.h"

#include "ErrorBox.h"
#include "FileVersionInfo.h"
#include "MainIcon.h"

#include <QDesktopServices>
#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QUrl>

TAboutF::TAboutF(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Tallyvane"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setGeometry(107, 115, 75, 25);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);

    Image1 = new QLabel(this);
    Image1->setGeometry(8, 10, 51, 51);
    Image1->setAlignment(Qt::AlignCenter);

    QFont title(QStringLiteral("Arial"));
    title.setPixelSize(16);
    title.setBold(true);
    QFont plain(QStringLiteral("Arial"));
    plain.setPixelSize(12);

    Label1 = new QLabel(QStringLiteral("Tallyvane ver."), this);
    Label1->setFont(title);
    Label1->setGeometry(68, 12, 218, 22);
    Label2 = new QLabel(QStringLiteral("by the Tallyvane developers"), this);
    Label2->setFont(plain);
    Label2->setGeometry(68, 38, 218, 17);
    Label4 = new QLabel(QStringLiteral("tallyvane@example.org"), this);
    Label4->setFont(plain);
    Label4->setGeometry(68, 58, 218, 17);
    Label3 = new QLabel(QStringLiteral("https://tallyvane.example.org/"), this);
    Label3->setFont(plain);
    Label3->setGeometry(68, 78, 218, 17);
    Label3->setStyleSheet(QStringLiteral("color: blue;"));
    Label3->setCursor(Qt::PointingHandCursor);
    Label3->installEventFilter(this);
    for (QLabel* label : {Image1, Label1, Label2, Label3, Label4})
        label->setFocusPolicy(Qt::NoFocus);

    setFixedSize(290, 148);
    // An error here is shown, and the dialog opens with what was set up until then.
    GuardedCall([this] { FormCreate(); });
}

void TAboutF::FormCreate() {
    Label1->setText(Label1->text() + GetVersionText(QString()));
    Image1->setPixmap(MainIcon().pixmap(QSize(48, 48)));
}

void TAboutF::Label3Click() {
    // What the desktop does with the address is its own business; a failure is not reported.
    QDesktopServices::openUrl(QUrl(Label3->text()));
}

bool TAboutF::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Label3 && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        GuardedCall([this] { Label3Click(); });
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

bool ShowAbout(QWidget* parent) {
    TAboutF dialog(parent);
    dialog.Button1->setFocus();
    return dialog.exec() == QDialog::Accepted;
}
