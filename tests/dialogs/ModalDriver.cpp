#include "ModalDriver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace dialogtest {

void OnNextModal(std::function<void(QWidget*)> act, std::chrono::milliseconds timeout) {
    QPointer<QWidget> before = QApplication::activeModalWidget();
    auto* timer = new QTimer(qApp);
    auto* clock = new QElapsedTimer;
    clock->start();
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [=, act = std::move(act)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal != before && modal->isVisible()) {
            timer->stop();
            timer->deleteLater();
            delete clock;
            act(modal);
            return;
        }
        if (clock->elapsed() > timeout.count()) {
            timer->stop();
            timer->deleteLater();
            delete clock;
            ADD_FAILURE() << "no modal window opened in time";
            if (modal)
                modal->close();
        }
    });
    timer->start();
}

void AcceptNextMessage(QString* text, QMessageBox::Icon* icon, QString* title) {
    OnNext<QMessageBox>([=](QMessageBox* box) {
        if (text)
            *text = box->text();
        if (icon)
            *icon = box->icon();
        if (title)
            *title = box->windowTitle();
        box->accept();
    });
}

void ChooseFile(QFileDialog* d, const QString& file) {
    auto* name = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(name, nullptr);
    name->setText(file);
    if (!WaitFor([&] { return d->selectedFiles() == QStringList{file}; })) {
        ADD_FAILURE() << "the file dialog did not take " << file.toStdString() << " but "
                      << d->selectedFiles().join(u',').toStdString();
        d->reject();
        return;
    }
    static_cast<QDialog*>(d)->accept();
}

void TypeInto(QWidget* edit, const QString& text) {
    if (auto* line = qobject_cast<QLineEdit*>(edit))
        line->clear();
    edit->setFocus();
    QTest::keyClicks(edit, text);
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return QTest::qWaitFor(done, static_cast<int>(timeout.count()));
}

} // namespace dialogtest
