#include "FirstStartHint.h"

#include <QAbstractScrollArea>
#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

TFirstStartHint::TFirstStartHint(QAbstractScrollArea& view, QAction& registerAction)
    : QFrame(view.viewport()) {
    setObjectName("FirstStartHint");
    TextL = new QLabel(HintText(QCoreApplication::applicationDirPath()));
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

QString TFirstStartHint::HintText(const QString& programDir) {
    QString text = QString::fromUtf8(
        "No server is registered yet.\n\n"
        "Press \u201cRegister server\u2026\u201d below to watch a SQL Server instance for "
        "blocking: a name and a connection string such as\n"
        "Provider=SQLOLEDB.1;Data Source=db1,1433;Initial Catalog=master\n\n");
    const QDir docs(programDir + QStringLiteral("/../share/doc/tallyvane"));
    for (const char* name : {"README.md.gz", "README.md"}) {
        const QString readme = docs.filePath(QString::fromLatin1(name));
        if (QFileInfo(readme).isFile())
            return text +
                   QString::fromUtf8("How to begin, and what each part of the window "
                                     "shows: ") +
                   QDir::cleanPath(readme);
    }
    return text + QString::fromUtf8("To see the program at work first, run scripts/demo.sh in "
                                    "Tallyvane\u2019s source folder: it starts simulated "
                                    "servers whose sessions block each other.");
}

void TFirstStartHint::ShowListRefused(const QString& reason) {
    TextL->setText(QString::fromUtf8("The server list could not be read, so no server is "
                                     "shown:\n") +
                   reason +
                   QString::fromUtf8("\n\nThe file is left as it is, and nothing is saved over "
                                     "it. Mend or move it, then start the program again."));
    RegisterB->hide();
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
