// "Last SQL command": the last command a server process sent, fetched again on "Refresh";
// "Kill process" kills it and closes the dialog with OK.
#pragma once

#include <QDialog>
#include <cstdint>

class QGroupBox;
class QPlainTextEdit;
class QPushButton;
class TServerData;

class TProcessInfoF : public QDialog {
    Q_OBJECT
public:
    explicit TProcessInfoF(QWidget* parent = nullptr);

    // Fills SqlM from GetInputBuffer, with the busy cursor; errors reach the caller.
    void LoadLastCommand();
    void Button1Click(); // "Refresh"
    void Button2Click(); // "Kill process"

    QGroupBox* GroupBox1;
    QPushButton* Button1;
    QPushButton* Button2;
    QPushButton* Button3;
    QPlainTextEdit* SqlM;

    TServerData* ServerData = nullptr; // not owned
    std::int32_t Spid = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// Shows the last command of Spid on Server's connection. True exactly when the process was
// killed (the caller refreshes the server then). An error of the first load passes out, and
// the dialog is never shown.
bool ShowProcessInfo(TServerData& Server, std::int32_t Spid, QWidget* parent = nullptr);
