#include "DeadlockText.h"

#include "DisplayText.h"

#include <set>

namespace {

// Program names are the one free text in the list and the notice; longer ones are cut.
constexpr int MaxProgram = 48;

QString Bounded(const std::string& text, int max) {
    const QString shown = DisplayText(text);
    return shown.size() <= max ? shown : shown.left(max - 1) + QChar(0x2026);
}

std::set<std::int32_t> VictimSpids(const TDeadlockReport& report) {
    std::set<std::int32_t> spids;
    for (const TDeadlockProcess& p : report.Processes)
        if (p.Victim)
            spids.insert(p.Spid);
    return spids;
}

} // namespace

QString DeadlockProcessText(const TDeadlockProcess& process) {
    const QString spid = QString::number(process.Spid);
    if (process.ProgramName.empty())
        return spid;
    return spid + " (" + Bounded(process.ProgramName, MaxProgram) + ")";
}

QStringList DeadlockVictims(const TDeadlockReport& report) {
    QStringList victims;
    for (const TDeadlockProcess& p : report.Processes)
        if (p.Victim)
            victims << DeadlockProcessText(p);
    victims.removeDuplicates();
    return victims;
}

QStringList DeadlockSurvivors(const TDeadlockReport& report) {
    // Every thread of a victim's session ends with it.
    const std::set<std::int32_t> victims = VictimSpids(report);
    QStringList survivors;
    for (const TDeadlockProcess& p : report.Processes)
        if (!p.Victim && victims.count(p.Spid) == 0)
            survivors << DeadlockProcessText(p);
    survivors.removeDuplicates();
    return survivors;
}

QString DeadlockObjectsText(const TDeadlockReport& report) {
    QStringList objects;
    for (const TDeadlockProcess& p : report.Processes)
        if (!p.ObjectName.empty())
            objects << Bounded(p.ObjectName, 128);
    objects.removeDuplicates();
    return objects.join(QStringLiteral(", "));
}

QString DeadlockNamesText(const QStringList& names) {
    const auto n = names.size();
    if (n <= 1)
        return names.value(0);
    if (n <= 3)
        return names.first(n - 1).join(QStringLiteral(", ")) + " and " + names.last();
    return names.first(2).join(QStringLiteral(", ")) + " and " + QString::number(n - 2) + " more";
}

QString DeadlockNoticeText(const QString& server, const std::vector<TDeadlockReport>& reports) {
    if (reports.empty())
        return {};
    const TDeadlockReport& last = reports.back();
    const QStringList victims = DeadlockVictims(last);
    const QStringList survivors = DeadlockSurvivors(last);
    QString what;
    if (victims.isEmpty() && survivors.isEmpty())
        what = QStringLiteral("the report names no process");
    else if (victims.isEmpty())
        what = "no victim named, " + DeadlockNamesText(survivors) + " took part";
    else {
        what = (victims.size() == 1 ? "victim " : "victims ") + DeadlockNamesText(victims);
        if (!survivors.isEmpty())
            what += ", " + DeadlockNamesText(survivors) + " went on";
    }
    if (reports.size() == 1)
        return "Deadlock on " + server + ": " + what;
    return QString::number(reports.size()) + " deadlocks on " + server + ", the last: " + what;
}
