// The user of a modal dialog in tests: acts on the next modal window that opens, from a timer
// that polls while the dialog's own loop runs. A window that is not handled in time is
// rejected, so that a broken test fails instead of hanging.
#pragma once

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>

namespace dialogtest {

// Acts on the next modal window other than the one active now.
void OnNextModal(std::function<void(QWidget*)> act,
                 std::chrono::milliseconds timeout = std::chrono::seconds(15));

// The same for a window of a given kind (fails the test when another kind opens).
template <class T>
void OnNext(std::function<void(T*)> act,
            std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    OnNextModal(
        [act = std::move(act)](QWidget* w) {
            T* typed = qobject_cast<T*>(w);
            if (!typed) {
                ADD_FAILURE() << "unexpected modal window " << w->metaObject()->className();
                w->close();
                return;
            }
            act(typed);
        },
        timeout);
}

// The next message box: its text and icon go to the out-parameters, then OK.
void AcceptNextMessage(QString* text = nullptr, QMessageBox::Icon* icon = nullptr,
                       QString* title = nullptr);

// Types a file's full path into a file dialog's name field, as a user would, then OK.
void ChooseFile(QFileDialog* dialog, const QString& file);

// Types text into a widget that takes keys, replacing what it holds.
void TypeInto(QWidget* edit, const QString& text);

// Waits (bounded) until the predicate holds, handling events meanwhile.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds timeout = std::chrono::seconds(15));

} // namespace dialogtest
