// The deadlock reports of the history file: written by the writer thread as the monitors read
// them, read by the history window.
#include "HistoryStore.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}
std::string S(const QVariant& value) {
    return value.toString().toStdString();
}
QVariant I64(std::int64_t value) {
    return QVariant::fromValue<qint64>(value);
}

const char* const ParticipantColumns = "ordinal, process_id, spid, victim, login, host, program,"
                                       " database, lock_mode, wait_resource, object_name,"
                                       " index_name";

// A participant from a row that starts with the columns above (the statement may follow).
TDeadlockProcess Participant(const QSqlQuery& q, int first) {
    TDeadlockProcess p;
    p.Id = S(q.value(first + 1));
    p.Spid = q.value(first + 2).toInt();
    p.Victim = q.value(first + 3).toInt() != 0;
    p.LoginName = S(q.value(first + 4));
    p.HostName = S(q.value(first + 5));
    p.ProgramName = S(q.value(first + 6));
    p.DBName = S(q.value(first + 7));
    p.LockMode = S(q.value(first + 8));
    p.WaitResource = S(q.value(first + 9));
    p.ObjectName = S(q.value(first + 10));
    p.IndexName = S(q.value(first + 11));
    return p;
}

} // namespace

bool THistoryStore::SaveDeadlock(const std::string& server, const TDeadlockReport& report) {
    QSqlDatabase db = QSqlDatabase::database(ConnectionName, false);
    QSqlQuery q(db);
    const TDeadlockProcess* victim = report.FirstVictim();
    const TDeadlockProcess none;
    if (victim == nullptr)
        victim = &none;
    q.prepare(QStringLiteral(
        "INSERT OR IGNORE INTO deadlock (server, time_ms, victim_spid, victim_login, victim_host,"
        " victim_program, victim_statement, truncated, report_xml)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    for (const QVariant& value : {QVariant(Q(server)), I64(report.Time), QVariant(victim->Spid),
                                  QVariant(Q(victim->LoginName)), QVariant(Q(victim->HostName)),
                                  QVariant(Q(victim->ProgramName)), QVariant(Q(victim->Statement)),
                                  QVariant(report.Truncated ? 1 : 0), QVariant(Q(report.Xml))})
        q.addBindValue(value);
    if (!q.exec())
        throw Failure("Cannot write a deadlock", q.lastError().text());
    if (q.numRowsAffected() == 0)
        return false;
    const QVariant id = q.lastInsertId();

    QSqlQuery p(db);
    p.prepare(QStringLiteral("INSERT INTO deadlock_participant (deadlock_id, %1, statement)"
                             " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                  .arg(QLatin1String(ParticipantColumns)));
    for (std::size_t i = 0; i < report.Processes.size(); ++i) {
        const TDeadlockProcess& process = report.Processes[i];
        for (const QVariant& value :
             {id, QVariant(static_cast<int>(i)), QVariant(Q(process.Id)), QVariant(process.Spid),
              QVariant(process.Victim ? 1 : 0), QVariant(Q(process.LoginName)),
              QVariant(Q(process.HostName)), QVariant(Q(process.ProgramName)),
              QVariant(Q(process.DBName)), QVariant(Q(process.LockMode)),
              QVariant(Q(process.WaitResource)), QVariant(Q(process.ObjectName)),
              QVariant(Q(process.IndexName)), QVariant(Q(process.Statement))})
            p.addBindValue(value);
        if (!p.exec())
            throw Failure("Cannot write a deadlock's process", p.lastError().text());
    }

    QSqlQuery r(db);
    r.prepare(QStringLiteral("INSERT INTO deadlock_resource (deadlock_id, ordinal, kind,"
                             " object_name, index_name, wait_type) VALUES (?, ?, ?, ?, ?, ?)"));
    QSqlQuery l(db);
    l.prepare(QStringLiteral("INSERT INTO deadlock_lock (deadlock_id, resource_ordinal, waiter,"
                             " ordinal, process_id, mode) VALUES (?, ?, ?, ?, ?, ?)"));
    for (std::size_t i = 0; i < report.Resources.size(); ++i) {
        const TDeadlockResource& resource = report.Resources[i];
        for (const QVariant& value :
             {id, QVariant(static_cast<int>(i)), QVariant(Q(resource.Kind)),
              QVariant(Q(resource.ObjectName)), QVariant(Q(resource.IndexName)),
              QVariant(Q(resource.WaitType))})
            r.addBindValue(value);
        if (!r.exec())
            throw Failure("Cannot write a deadlock's resource", r.lastError().text());
        for (int waiter = 0; waiter < 2; ++waiter) {
            const std::vector<TDeadlockLock>& locks = waiter ? resource.Waiters : resource.Owners;
            for (std::size_t k = 0; k < locks.size(); ++k) {
                for (const QVariant& value :
                     {id, QVariant(static_cast<int>(i)), QVariant(waiter),
                      QVariant(static_cast<int>(k)), QVariant(Q(locks[k].ProcessId)),
                      QVariant(Q(locks[k].Mode))})
                    l.addBindValue(value);
                if (!l.exec())
                    throw Failure("Cannot write a deadlock's lock", l.lastError().text());
            }
        }
    }
    return true;
}

int THistoryStore::DeleteDeadlocksBefore(std::int64_t cutoff) {
    QSqlQuery q(QSqlDatabase::database(ConnectionName, false));
    int deleted = 0;
    Transaction([&] {
        for (const char* part : {"deadlock_participant", "deadlock_resource", "deadlock_lock"}) {
            q.prepare(QStringLiteral("DELETE FROM %1 WHERE deadlock_id IN"
                                     " (SELECT id FROM deadlock WHERE time_ms < ?)")
                          .arg(QLatin1String(part)));
            q.addBindValue(I64(cutoff));
            if (!q.exec())
                throw Failure("Cannot delete old deadlocks", q.lastError().text());
        }
        q.prepare(QStringLiteral("DELETE FROM deadlock WHERE time_ms < ?"));
        q.addBindValue(I64(cutoff));
        if (!q.exec())
            throw Failure("Cannot delete old deadlocks", q.lastError().text());
        deleted = q.numRowsAffected();
    });
    return deleted;
}

std::vector<TStoredDeadlock> THistoryStore::Deadlocks(const THistoryFilter& filter) {
    QSqlDatabase db = QSqlDatabase::database(ConnectionName, false);
    QSqlQuery q(db);
    q.setForwardOnly(true);
    QString where = QStringLiteral("time_ms >= ? AND time_ms <= ?");
    if (!filter.Server.empty())
        where += QStringLiteral(" AND server = ?");
    const auto bind = [&](QSqlQuery& query) {
        query.addBindValue(I64(filter.From));
        query.addBindValue(I64(filter.To));
        if (!filter.Server.empty())
            query.addBindValue(Q(filter.Server));
        query.addBindValue(filter.Limit);
    };
    const QString chosen =
        QStringLiteral("SELECT id FROM deadlock WHERE %1 ORDER BY time_ms DESC, id DESC LIMIT ?")
            .arg(where);
    q.prepare(QStringLiteral("SELECT id, server, time_ms, truncated FROM deadlock"
                             " WHERE id IN (%1) ORDER BY time_ms DESC, id DESC")
                  .arg(chosen));
    bind(q);
    if (!q.exec())
        throw Failure("Cannot read deadlocks", q.lastError().text());
    std::vector<TStoredDeadlock> deadlocks;
    std::map<std::int64_t, std::size_t> byId;
    while (q.next()) {
        TStoredDeadlock d;
        d.Id = q.value(0).toLongLong();
        d.Server = S(q.value(1));
        d.Report.Time = q.value(2).toLongLong();
        d.Report.Truncated = q.value(3).toInt() != 0;
        byId[d.Id] = deadlocks.size();
        deadlocks.push_back(std::move(d));
    }
    if (deadlocks.empty())
        return deadlocks;

    QSqlQuery p(db);
    p.setForwardOnly(true);
    p.prepare(QStringLiteral("SELECT deadlock_id, %1 FROM deadlock_participant"
                             " WHERE deadlock_id IN (%2) ORDER BY deadlock_id, ordinal")
                  .arg(QLatin1String(ParticipantColumns), chosen));
    bind(p);
    if (!p.exec())
        throw Failure("Cannot read the processes of deadlocks", p.lastError().text());
    while (p.next())
        if (const auto found = byId.find(p.value(0).toLongLong()); found != byId.end())
            deadlocks[found->second].Report.Processes.push_back(Participant(p, 1));
    return deadlocks;
}

std::optional<TStoredDeadlock> THistoryStore::Deadlock(std::int64_t id) {
    QSqlDatabase db = QSqlDatabase::database(ConnectionName, false);
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(
        QStringLiteral("SELECT server, time_ms, truncated, report_xml FROM deadlock WHERE id = ?"));
    q.addBindValue(I64(id));
    if (!q.exec())
        throw Failure("Cannot read a deadlock", q.lastError().text());
    if (!q.next())
        return std::nullopt;
    TStoredDeadlock d;
    d.Id = id;
    d.Server = S(q.value(0));
    d.Report.Time = q.value(1).toLongLong();
    d.Report.Truncated = q.value(2).toInt() != 0;
    d.Report.Xml = S(q.value(3));
    q.finish();

    q.prepare(QStringLiteral("SELECT %1, statement FROM deadlock_participant"
                             " WHERE deadlock_id = ? ORDER BY ordinal")
                  .arg(QLatin1String(ParticipantColumns)));
    q.addBindValue(I64(id));
    if (!q.exec())
        throw Failure("Cannot read the processes of a deadlock", q.lastError().text());
    while (q.next()) {
        d.Report.Processes.push_back(Participant(q, 0));
        d.Report.Processes.back().Statement = S(q.value(12));
    }

    q.prepare(
        QStringLiteral("SELECT kind, object_name, index_name, wait_type FROM deadlock_resource"
                       " WHERE deadlock_id = ? ORDER BY ordinal"));
    q.addBindValue(I64(id));
    if (!q.exec())
        throw Failure("Cannot read the resources of a deadlock", q.lastError().text());
    while (q.next()) {
        TDeadlockResource& r = d.Report.Resources.emplace_back();
        r.Kind = S(q.value(0));
        r.ObjectName = S(q.value(1));
        r.IndexName = S(q.value(2));
        r.WaitType = S(q.value(3));
    }

    q.prepare(QStringLiteral("SELECT resource_ordinal, waiter, process_id, mode FROM deadlock_lock"
                             " WHERE deadlock_id = ? ORDER BY resource_ordinal, waiter, ordinal"));
    q.addBindValue(I64(id));
    if (!q.exec())
        throw Failure("Cannot read the locks of a deadlock", q.lastError().text());
    while (q.next()) {
        const qint64 resource = q.value(0).toLongLong();
        if (resource < 0 || static_cast<std::uint64_t>(resource) >= d.Report.Resources.size())
            continue;
        TDeadlockResource& r = d.Report.Resources[static_cast<std::size_t>(resource)];
        (q.value(1).toInt() != 0 ? r.Waiters : r.Owners).push_back({S(q.value(2)), S(q.value(3))});
    }
    return d;
}

std::map<std::string, std::int64_t> THistoryStore::NewestDeadlockTimes(std::int64_t notAfter) {
    QSqlQuery q(QSqlDatabase::database(ConnectionName, false));
    q.setForwardOnly(true);
    q.prepare(QStringLiteral(
        "SELECT server, max(time_ms) FROM deadlock WHERE time_ms <= ? GROUP BY server"));
    q.addBindValue(I64(notAfter));
    if (!q.exec())
        throw Failure("Cannot read the newest deadlocks", q.lastError().text());
    std::map<std::string, std::int64_t> newest;
    while (q.next())
        newest[S(q.value(0))] = q.value(1).toLongLong();
    return newest;
}
