// One line that says how a server stands, for the status bar, the server list's tooltip and
// the notification-area tooltip: "PROD-SQL01 · 17 sessions · 2 head blockers · 5 blocked ·
// longest wait 26.0 s (SPID 52 ← 51)".
#pragma once

#include <QString>
#include <vector>

class TServerData;

// The figures of the server's latest snapshot, or what keeps it from having one.
QString ServerSummary(const TServerData& server);

// The notification-area tooltip: the caption, then a line per server that needs a look:
// live blocking first (longest wait first), then errors, muted servers after both; what does
// not fit in maxLength characters is counted ("+3 more").
QString TrayToolTip(const QString& caption, const std::vector<TServerData*>& servers,
                    int maxLength = 127);

// The blocking of the server's latest snapshot for a warning, one fact a line: the worst
// chain's head (SPID, login, program), how many it holds up and the longest wait. Empty when
// nothing is blocked.
QString IncidentText(const TServerData& server);
// The start of a statement on one line, to follow IncidentText.
QString IncidentStatement(const QString& statement);
// The head whose statement IncidentText would show, 0 for none.
int IncidentHeadSpid(const TServerData& server);
