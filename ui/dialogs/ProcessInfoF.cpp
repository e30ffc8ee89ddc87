#include "ProcessInfoF.h"

#include "ErrorBox.h"
#include "ServerData.h"

#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>

namespace {

// The busy cursor for as long as it lives, so that every path restores the default one.
class TBusyCursor {
public:
    TBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TBusyCursor() { QApplication::restoreOverrideCursor(); }
    TBusyCursor(const TBusyCursor&) = delete;
    TBusyCursor& operator=(const TBusyCursor&) = delete;
};

} // namespace

TProcessInfoF::TProcessInfoF(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Last SQL command"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    GroupBox1 = new QGroupBox(this);
    GroupBox1->setGeometry(5, 5, 311, 196);
    SqlM = new QPlainTextEdit(GroupBox1);
    SqlM->setGeometry(10, 12, 291, 171);
    SqlM->setReadOnly(true);
    SqlM->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    SqlM->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    SqlM->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    SqlM->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    SqlM->setTabChangesFocus(true);
    SqlM->installEventFilter(this);

    Button1 = new QPushButton(QStringLiteral("Refresh"), this);
    Button1->setGeometry(324, 10, 75, 25);
    Button2 = new QPushButton(QStringLiteral("Kill process"), this);
    Button2->setGeometry(324, 41, 75, 25);
    Button3 = new QPushButton(QStringLiteral("Close"), this);
    Button3->setGeometry(324, 176, 75, 25);
    // No default button: Enter does nothing here.
    for (QPushButton* b : {Button1, Button2, Button3})
        b->setAutoDefault(false);

    setTabOrder(SqlM, Button1);
    setTabOrder(Button1, Button2);
    setTabOrder(Button2, Button3);
    setFixedSize(405, 206);

    connect(Button1, &QPushButton::clicked, this,
            [this] { GuardedCall([this] { Button1Click(); }); });
    connect(Button2, &QPushButton::clicked, this,
            [this] { GuardedCall([this] { Button2Click(); }); });
    connect(Button3, &QPushButton::clicked, this, &QDialog::reject);
}

void TProcessInfoF::LoadLastCommand() {
    const TBusyCursor busy;
    QString text = QString::fromStdString(ServerData->GetInputBuffer(Spid));
    // Batches arrive with CR LF; every kind of line break starts a new line.
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(u'\r', u'\n');
    SqlM->setPlainText(text);
}

void TProcessInfoF::Button1Click() {
    LoadLastCommand();
}

void TProcessInfoF::Button2Click() {
    ServerData->KillProcess(Spid);
    accept();
}

bool TProcessInfoF::eventFilter(QObject* watched, QEvent* event) {
    // Escape closes the dialog also while the text box has the focus.
    if (watched == SqlM &&
        (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        if (event->type() == QEvent::KeyRelease)
            reject();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

bool ShowProcessInfo(TServerData& Server, std::int32_t Spid, QWidget* parent) {
    TProcessInfoF dialog(parent);
    dialog.ServerData = &Server;
    dialog.Spid = Spid;
    dialog.LoadLastCommand();
    dialog.SqlM->setFocus();
    return dialog.exec() == QDialog::Accepted;
}
