#include "DeadlockNotices.h"

#include "DeadlockText.h"
#include "DisplayText.h"
#include "ServerData.h"
#include "Settings.h"
#include "TrayWarnings.h"

#include <QDateTime>
#include <QSystemTrayIcon>
#include <utility>

TDeadlockNotices::TDeadlockNotices(QSystemTrayIcon& icon, TClock clock) : Icon(icon) {
    StartedAt = clock ? clock() : QDateTime::currentMSecsSinceEpoch();
    HoldOff.setSingleShot(true);
    connect(&HoldOff, &QTimer::timeout, this, [this] { Give(); });
}

bool TDeadlockNotices::Announce(const TServerData& server,
                                const std::vector<TDeadlockReport>& reports) {
    if (!NotifyDeadlocks || !Icon.isVisible() || server.Muted())
        return false;
    const QString name = DisplayText(server.Info.Name);
    bool fresh = false;
    for (const TDeadlockReport& report : reports) {
        if (report.Time < StartedAt - ClockSlackMs)
            continue;
        fresh = true;
        TDeadlockReport& kept = PendingReports.emplace_back();
        kept.Time = report.Time;
        kept.Processes = report.Processes;
    }
    if (!fresh)
        return false;
    if (!PendingServers.contains(name))
        PendingServers << name;
    if (!HoldOff.isActive())
        Give();
    return true;
}

void TDeadlockNotices::Give() {
    if (PendingServers.isEmpty())
        return;
    const QStringList servers = std::exchange(PendingServers, {});
    const std::vector<TDeadlockReport> reports = std::exchange(PendingReports, {});
    const QString text = servers.size() == 1 ? DeadlockNoticeText(servers.front(), reports)
                                             : "Deadlocks on " + DeadlockNamesText(servers);
    ++Given;
    LastNotice = text.left(255);
    if (QSystemTrayIcon::supportsMessages() && Icon.isVisible())
        Icon.showMessage(TTrayWarnings::BalloonTitle().left(63), LastNotice,
                         QSystemTrayIcon::Warning, 5000);
    HoldOff.start(HoldOffMs);
}
