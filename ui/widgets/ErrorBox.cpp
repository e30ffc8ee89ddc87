#include "ErrorBox.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>

QString ApplicationTitle() {
    return ApplicationTitleOf(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
}

QString ApplicationTitleOf(const QString& fileName) {
    QString name = fileName;
    const qsizetype dot = name.indexOf(u'.');
    if (dot >= 0)
        name.truncate(dot);
    return name.left(1) + name.mid(1).toLower();
}

QString WithFullStop(const QString& message) {
    if (!message.isEmpty() && message.back() > u'.')
        return message + u'.';
    return message;
}

void ShowErrorText(const QString& message) {
    QMessageBox box(QMessageBox::Critical, ApplicationTitle(), WithFullStop(message),
                    QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText); // messages quote servers and files
    box.exec();
}

namespace Dialogs {
void ShowErrorMessage(const std::exception& error) {
    ShowErrorText(QString::fromUtf8(error.what()));
}
} // namespace Dialogs
