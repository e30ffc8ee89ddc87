// The default error display, and the one wrapper that keeps exceptions out of the Qt event
// loop: every slot or event handler of ours runs its body through GuardedCall.
#pragma once

#include <QString>
#include <exception>
#include <utility>

// The program file's name up to its first ".", every character after the first in lower case.
QString ApplicationTitle();
// The same rule for a given file name (without its folder).
QString ApplicationTitleOf(const QString& fileName);

// The message as the error box shows it: a full stop is appended when the last character sorts
// after "." (so "Failed" gets one, "Failed!" and "Failed." do not).
QString WithFullStop(const QString& message);

// A modal message box with the stop icon and OK, titled ApplicationTitle().
void ShowErrorText(const QString& message);

// ShowErrorMessage and LoginDialog live in this namespace because the engine's hooks of the
// same names (UiHooks.h) are global variables; InstallDialogHooks() (DialogHooks.h) points
// the hooks here.
namespace Dialogs {
// Shows error.what() through ShowErrorText.
void ShowErrorMessage(const std::exception& error);
} // namespace Dialogs

// Runs f; an exception that leaves it is shown by the default error display and goes no
// further, so that the program carries on.
template <class F>
void GuardedCall(F&& f) {
    try {
        std::forward<F>(f)();
    } catch (const std::exception& error) {
        Dialogs::ShowErrorMessage(error);
    } catch (...) {
        ShowErrorText(QStringLiteral("Unknown error"));
    }
}
