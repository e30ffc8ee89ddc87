// The connection dialog behind the "..." button of the server properties: server,
// authentication, database and "Test connection". It starts from the current connection
// string and yields a complete OLE DB connection string for SQL Server.
#pragma once

#include <QDialog>
#include <QString>
#include <string>
#include <utility>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// What the dialog edits, read from and written to a connection string. Pieces that the
// dialog does not show (time-outs, encryption, a driver) are kept as they were.
struct TConnectionSettings {
    QString Server; // Data Source
    bool Integrated = false;
    QString UserName; // User ID
    QString Password;
    bool SavePassword = false; // Persist Security Info; without it no password is written
    QString Database;          // Initial Catalog
    std::vector<std::pair<QString, QString>> OtherPieces;

    // A text that cannot be read (an unterminated quote) gives empty settings. "FILE NAME="
    // starts from the data link file's connection string when the file can be read.
    static TConnectionSettings FromString(const QString& connectionString);
    QString ToString() const;
};

class TConnectionF : public QDialog {
    Q_OBJECT
public:
    explicit TConnectionF(QWidget* parent = nullptr);

    void SetSettings(const TConnectionSettings& settings);
    TConnectionSettings GetSettings() const;
    // Connects with the shown settings and reports the server's answer or its error.
    void TestBClick();
    void UpdateControlStates();

    QLineEdit* ServerE;
    QRadioButton* IntegratedRB;
    QRadioButton* SqlLoginRB;
    QLabel* UserNameL;
    QLineEdit* UserNameE;
    QLabel* PasswordL;
    QLineEdit* PasswordE;
    QCheckBox* SavePasswordCB;
    QLineEdit* DatabaseE;
    QPushButton* TestB;
    QPushButton* OkB;
    QPushButton* CancelB;

private:
    std::vector<std::pair<QString, QString>> OtherPieces;
};

// Runs the dialog starting from connectionString. OK: true and connectionString replaced by
// the built string. Cancel: false and connectionString untouched.
bool BuildConnectionString(QString& connectionString, QWidget* parent = nullptr);

// The server's answer to a test connect (its version text); errors reach the caller.
std::string TestConnection(const std::string& connectionString, const std::string& userName,
                           const std::string& password, unsigned timeoutSeconds);
