// "Database Login": asks for a user name and a password for one server (the monitor's
// PromptLogin shows it through the engine's LoginDialog hook).
#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

class TLoginF : public QDialog {
    Q_OBJECT
public:
    explicit TLoginF(QWidget* parent = nullptr);

    QLabel* DatabaseName; // the server's name after "Database:", cut off at the panel's edge
    QLineEdit* UserNameE; // at most 31 characters
    QLineEdit* PasswordE; // masked, at most 31 characters
    QPushButton* OkB;     // default button
    QPushButton* CancelB; // cancel button
};

namespace Dialogs {
// Shows the dialog for serverName with userName filled in and an empty password field. OK:
// true, and both fields' texts are handed back. Cancel or close: false, neither is changed.
bool LoginDialog(const std::string& serverName, std::string& userName, std::string& password);
} // namespace Dialogs
