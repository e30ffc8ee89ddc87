// How a deadlock reads on the screen: the list's columns and the tray notice. What the server
// wrote goes through DisplayText and is bounded, so no report can flood a cell or a balloon.
#pragma once

#include "DeadlockReport.h"

#include <QString>
#include <QStringList>
#include <vector>

// "57 (HR Portal)", or "57" when the process named no program.
QString DeadlockProcessText(const TDeadlockProcess& process);
// The victims' texts, each once, in the report's order.
QStringList DeadlockVictims(const TDeadlockReport& report);
// The processes that went on: neither a victim nor a thread of a victim's session.
QStringList DeadlockSurvivors(const TDeadlockReport& report);
// The objects the processes wanted, each once: "HR.dbo.Employees, HR.dbo.Payroll".
QString DeadlockObjectsText(const TDeadlockReport& report);
// "A", "A and B", "A, B and C", "A, B and 2 more".
QString DeadlockNamesText(const QStringList& names);

// The notice for what one read of a server found: "Deadlock on PROD-SQL01: victim 57 (HR
// Portal), 59 (Report Builder) went on", or for several, the count and the last one.
QString DeadlockNoticeText(const QString& server, const std::vector<TDeadlockReport>& reports);
