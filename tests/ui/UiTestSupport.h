// Shared pieces of the widget tests: snapshots built from rows, a monitor that never connects,
// and the user of modal dialogs (the one thing a test cannot have).
#pragma once

#include "ServerData.h"
#include "ServerOwner.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QWidget;

struct TTestRow {
    TTestRow(std::int32_t spid, std::int32_t blocked = 0, std::int32_t waitTime = 0,
             std::int32_t cpu = 0, std::string hostName = {})
        : Spid(spid), Blocked(blocked), WaitTime(waitTime), Cpu(cpu), HostName(hostName) {}
    std::int32_t Spid;
    std::int32_t Blocked;
    std::int32_t WaitTime;
    std::int32_t Cpu;
    std::string HostName;
};

class TNullOwner : public IServerOwner {
public:
    void ServerChanged(TServerData&) override {}
    bool Warn(TServerData&) override { return false; }
    void LogError(const std::string&, const std::exception&) override {}
};

// A switched-off monitor (it never connects) whose snapshot the test fills.
std::unique_ptr<TServerData> MakeMonitor(IServerOwner& owner, const std::string& name);
// Replaces the snapshot with the rows in query order, arranged by BuildBlockTree; State is 1
// when a row is blocked, else 0.
void FillSnapshot(TServerData& server, const std::vector<TTestRow>& rows);

// Answers every modal dialog that opens while it lives: the handler gets the dialog and must
// close it; without one, message boxes are answered with their escape button (No/OK) and
// other dialogs rejected. The texts of message boxes are recorded.
class TModalAnswerer : public QObject {
public:
    explicit TModalAnswerer(std::function<void(QWidget*)> handler = {});
    QStringList Messages;
    int Count = 0;
    std::function<void(QWidget*)> Handler;

private:
    void Poll();
    QTimer Timer;
};

// Processes events until pred holds or the time-out passes; returns pred().
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Readable QStrings in test failures.
#include <QString>
#include <ostream>
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
