// The card of one server process: the title names the server and the SPID; the first lines
// who the process belongs to and what it waits for (the table and index of a lock), then
// where it stands in the blocking (who blocks it with that session's statement, whom it holds
// up, and for a head blocker how long it has been idle and its transaction open), then its
// last command. Resizable; its size is remembered. "Refresh" reads all of it again; "Kill
// process" asks first (ConfirmKill), checks right before the KILL that the SPID still belongs
// to the same session, kills it, hands the kill to the history and closes with OK.
#pragma once

#include "KillRecord.h"
#include "SessionActivity.h"
#include "SessionBlocking.h"
#include "SessionLookups.h"

#include <QDialog>
#include <chrono>
#include <cstdint>
#include <functional>
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

// Takes a kill the user confirmed, carried out or not; may be empty.
using TKillRecorder = std::function<void(TKillRecord)>;

class TProcessInfoF : public QDialog {
    Q_OBJECT
public:
    // Where the dialog's size is kept.
    static const QString SizeKey;

    explicit TProcessInfoF(QWidget* parent = nullptr);

    // Fills SqlM from GetInputBuffer, with the busy cursor; errors reach the caller.
    void LoadLastCommand();
    // Title and first lines; reads who the SPID belongs to now and the names behind its wait
    // resource.
    void LoadDetails();
    // Where the session stands in the monitor's latest snapshot, and the reads that go with
    // it: the blocker's statement, a head blocker's idle time and transaction age. A read
    // that fails leaves its part unsaid; nothing is read once the connection is down.
    void LoadBlocking();
    // Kill greyed, with the missing permission in its tooltip, when the login may not kill.
    void ShowKillPermission();
    void Button1Click(); // "Refresh"
    void Button2Click(); // "Kill process"

    // The confirmation's text, and the refusal's when the SPID changed hands; empty when the
    // session is still the one the user chose.
    QString ConfirmationText() const;
    QString ChangedSessionText(const std::optional<TSessionIdentity>& now) const;
    // BlockingL's text from Blocking, Idle and Transaction.
    QString BlockingText() const;

    QLabel* InfoL;
    QLabel* BlockingL;
    QGroupBox* GroupBox1;
    QPlainTextEdit* SqlM;
    QGroupBox* BlockerGB; // the blocking session's statement; hidden when none blocks it
    QPlainTextEdit* BlockerSqlM;
    QGroupBox* HeadGB; // the chain's head's statement, when the head is not the blocker
    QPlainTextEdit* HeadSqlM;
    QPushButton* Button1;
    QPushButton* Button2;
    QPushButton* Button3;

    TServerData* ServerData = nullptr; // not owned
    std::int32_t Spid = 0;
    TProcessDetails Details;
    // The session the SPID belonged to when the dialog opened; nothing when it was gone.
    std::optional<TSessionIdentity> Session;
    TSessionBlocking Blocking;
    // When the snapshot Blocking comes from was read.
    std::chrono::system_clock::time_point AsOf{};
    // Blocking from the monitor's latest snapshot; Kill reads it again before it asks.
    void ReadLatestFigures();
    QString AsOfText() const;               // "14:02:31"
    TAgeRead Idle;                          // a head blocker's last batch
    std::optional<TAgeRead> Transaction;    // its open transaction, when the login may read it
    std::optional<std::string> LastCommand; // as read, for the kill record
    TKillRecorder RecordKill;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TKillRecord KillRecord() const;
    void Record(TKillRecord record, const std::string& outcome);
};

// Shows the card of Spid on Server's connection. True exactly when the process was killed
// (the caller refreshes the server then). An error of the first load passes out, and the
// dialog is never shown.
bool ShowProcessInfo(TServerData& Server, std::int32_t Spid, QWidget* parent = nullptr);
bool ShowProcessInfo(TServerData& Server, const TProcessDetails& details, QWidget* parent = nullptr,
                     TKillRecorder recordKill = {});
