// One line that says how a server stands, for the status bar, the server list's tooltip and
// the notification-area tooltip: "PROD-SQL01 · 17 sessions · 2 head blockers · 5 blocked ·
// longest wait 26.0 s (SPID 52 ← 51)".
#pragma once

#include <QString>
#include <vector>

class TServerData;

// The figures of the server's latest snapshot, or what keeps it from having one.
QString ServerSummary(const TServerData& server);

// The notification-area tooltip: the caption, then the worst server's summary (an error before
// blocks, then the longest wait), cut to maxLength characters.
QString TrayToolTip(const QString& caption, const std::vector<TServerData*>& servers,
                    int maxLength = 127);
