#include "FirstStartHint.h"

#include <QAbstractScrollArea>
#include <QAction>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

TFirstStartHint::TFirstStartHint(QAbstractScrollArea& view, QAction& registerAction)
    : QFrame(view.viewport()) {
    setObjectName("FirstStartHint");
    TextL = new QLabel(QString::fromUtf8(
        "No server is registered yet.\n\n"
        "Register a SQL Server instance to watch it for blocking: a name and a connection "
        "string such as\nProvider=SQLOLEDB.1;Data Source=db1,1433;Initial Catalog=master\n\n"
        "To see the program at work first, run scripts/demo.sh in Tallyvane\u2019s source "
        "folder: it starts simulated servers whose sessions block each other."));
    TextL->setObjectName("FirstStartTextL");
    TextL->setTextFormat(Qt::PlainText);
    TextL->setWordWrap(true);
    TextL->setAlignment(Qt::AlignCenter);
    TextL->setTextInteractionFlags(Qt::TextSelectableByMouse);
    RegisterB = new QPushButton(QString::fromUtf8("Register server\u2026"));
    RegisterB->setObjectName("FirstStartRegisterB");
    RegisterB->setIcon(registerAction.icon());
    // Through the action, so that its rules and error display apply as from the menu.
    connect(RegisterB, &QPushButton::clicked, &registerAction, &QAction::trigger);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(TextL);
    layout->addWidget(RegisterB, 0, Qt::AlignHCenter);
    view.viewport()->installEventFilter(this);
    Place();
}

bool TFirstStartHint::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parent() && event->type() == QEvent::Resize)
        Place();
    return QFrame::eventFilter(watched, event);
}

void TFirstStartHint::Place() {
    const QWidget* area = parentWidget();
    const int width = std::clamp(area->width() - 20, 200, 520);
    const int height =
        layout()->hasHeightForWidth() ? layout()->heightForWidth(width) : sizeHint().height();
    setGeometry((area->width() - width) / 2, std::max(0, (area->height() - height) / 3), width,
                height);
}
