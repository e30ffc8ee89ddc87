// "Last SQL command" of one server process: the title names the server and the SPID, the body
// who the process belongs to and what it waits for; "Refresh" fetches the command again; "Kill
// process" asks first (ConfirmKill), checks right before the KILL that the SPID still belongs
// to the same session, kills it and closes the dialog with OK.
#pragma once

#include "SessionLookups.h"

#include <QDialog>
#include <cstdint>
#include <optional>
#include <string>

class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class TServerData;

// The process row as the user saw it when he opened the dialog. Copied, because refreshes
// behind the dialog replace the snapshot it came from.
struct TProcessDetails {
    std::int32_t Spid = 0;
    bool Known = false; // the fields below come from the row
    std::string Login, Host, Program, Database, Status, Wait, WaitResource;
};

class TProcessInfoF : public QDialog {
    Q_OBJECT
public:
    explicit TProcessInfoF(QWidget* parent = nullptr);

    // Fills SqlM from GetInputBuffer, with the busy cursor; errors reach the caller.
    void LoadLastCommand();
    // Title and body; reads who the SPID belongs to now and the names behind its wait resource.
    void LoadDetails();
    // Kill greyed, with the missing permission in its tooltip, when the login may not kill.
    void ShowKillPermission();
    void Button1Click(); // "Refresh"
    void Button2Click(); // "Kill process"

    // The confirmation's text, and the refusal's when the SPID changed hands; empty when the
    // session is still the one the user chose.
    QString ConfirmationText() const;
    QString ChangedSessionText(const std::optional<TSessionIdentity>& now) const;

    QLabel* InfoL;
    QGroupBox* GroupBox1;
    QPushButton* Button1;
    QPushButton* Button2;
    QPushButton* Button3;
    QPlainTextEdit* SqlM;

    TServerData* ServerData = nullptr; // not owned
    std::int32_t Spid = 0;
    TProcessDetails Details;
    // The session the SPID belonged to when the dialog opened; nothing when it was gone.
    std::optional<TSessionIdentity> Session;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// Shows the last command of Spid on Server's connection. True exactly when the process was
// killed (the caller refreshes the server then). An error of the first load passes out, and
// the dialog is never shown.
bool ShowProcessInfo(TServerData& Server, std::int32_t Spid, QWidget* parent = nullptr);
bool ShowProcessInfo(TServerData& Server, const TProcessDetails& details,
                     QWidget* parent = nullptr);
