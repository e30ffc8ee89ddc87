// The tray notice for deadlocks a monitor read: one balloon per read of a server ("Deadlock on
// PROD-SQL01: victim 57 (HR Portal), 59 (Report Builder) went on"; for several, their count
// and the last one). None while NotifyDeadlocks is off, the icon is not shown or the server
// is muted, and none for reports from before the program started (a restart reads the
// server's buffer again; the history has them). Notices that come within HoldOffMs of one
// given are given together when that time is up, as one balloon naming every server.
#pragma once

#include "DeadlockReport.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <vector>

class QSystemTrayIcon;
class TServerData;

class TDeadlockNotices : public QObject {
public:
    using TClock = std::function<std::int64_t()>; // milliseconds since 1970, UTC
    // Server clocks are not ours: a report this much older than the start still counts.
    static constexpr std::int64_t ClockSlackMs = 5 * 60 * 1000;

    explicit TDeadlockNotices(QSystemTrayIcon& icon, TClock clock = {});

    // True when a notice is given now or with the next.
    bool Announce(const TServerData& server, const std::vector<TDeadlockReport>& reports);

    int HoldOffMs = 1000;
    // The text of the last notice given (also where balloons cannot be shown), and how many.
    QString LastNoticeText() const { return LastNotice; }
    int NoticesGiven() const { return Given; }

private:
    void Give();

    QSystemTrayIcon& Icon;
    std::int64_t StartedAt = 0;
    QStringList PendingServers;                  // noticed since the last notice given
    std::vector<TDeadlockReport> PendingReports; // their processes, for one server's notice
    QTimer HoldOff;
    QString LastNotice;
    int Given = 0;
};
