// The causes of blocking: episodes grouped by who or what headed them, in SQL. Whole days that
// are over are added up once (cause_day), so that a long range reads a few rows per day; the
// rest of a range (its first and last day, today, a day not yet added up) is grouped from the
// episodes themselves.
#include "CauseKeys.h"
#include "HistoryStore.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

constexpr std::int64_t Day = 24 * 3600 * 1000;

QVariant I64(std::int64_t value) {
    return QVariant::fromValue<qint64>(value);
}

const char* KeyColumn(TCauseKind kind) {
    switch (kind) {
    case TCauseKind::Login:
        return "head_login";
    case TCauseKind::Program:
        return "head_program";
    case TCauseKind::Host:
        return "head_host";
    case TCauseKind::Statement:
        return "head_fingerprint";
    case TCauseKind::Object:
        return "wait_object";
    }
    return "head_login";
}

std::int64_t DayOf(std::int64_t ms) {
    return ms >= 0 ? ms / Day * Day : -((-ms + Day - 1) / Day) * Day;
}

struct TRange {
    std::int64_t From, To; // inclusive
};

} // namespace

void THistoryStore::FillCauseKeys() {
    QSqlDatabase db = QSqlDatabase::database(ConnectionName, false);
    QSqlQuery read(db);
    read.setForwardOnly(true);
    if (!read.exec(QStringLiteral(
            "SELECT e.id, e.head_statement, s.wait_resource FROM episode e"
            " LEFT JOIN blocked_session s ON s.episode_id = e.id AND s.ordinal = 0")))
        throw Failure("Cannot read the episodes to upgrade", read.lastError().text());
    QSqlQuery write(db);
    write.prepare(
        QStringLiteral("UPDATE episode SET head_fingerprint = ?, wait_object = ? WHERE id = ?"));
    std::vector<std::tuple<std::int64_t, QVariant, QString>> rows;
    while (read.next()) {
        const QVariant statement = read.value(1);
        rows.emplace_back(
            read.value(0).toLongLong(),
            statement.isNull() ? QVariant(QMetaType(QMetaType::QString))
                               : QVariant(QString::fromStdString(
                                     StatementFingerprint(statement.toString().toStdString()))),
            QString::fromStdString(WaitObject(read.value(2).toString().toStdString())));
    }
    read.finish();
    for (const auto& [id, fingerprint, object] : rows) {
        write.bindValue(0, fingerprint);
        write.bindValue(1, object);
        write.bindValue(2, I64(id));
        if (!write.exec())
            throw Failure("Cannot upgrade an episode", write.lastError().text());
    }
}

int THistoryStore::RollUpCauses(std::int64_t nowMs) {
    QSqlDatabase db = QSqlDatabase::database(ConnectionName, false);
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT max(day_ms) FROM cause_day_done")) || !q.next())
        throw Failure("Cannot read the days added up", q.lastError().text());
    const std::int64_t after = q.value(0).isNull() ? INT64_MIN : q.value(0).toLongLong() + Day;
    q.finish();
    const std::int64_t today = DayOf(nowMs);
    q.prepare(QStringLiteral("SELECT DISTINCT start_ms - (start_ms % 86400000) FROM episode"
                             " WHERE start_ms >= ? AND start_ms < ? AND start_ms >= 0"));
    q.addBindValue(I64(after));
    q.addBindValue(I64(today));
    if (!q.exec())
        throw Failure("Cannot read the days to add up", q.lastError().text());
    std::vector<std::int64_t> days;
    while (q.next())
        days.push_back(q.value(0).toLongLong());
    q.finish();
    int added = 0;
    for (const std::int64_t day : days) {
        Transaction([&] {
            QSqlQuery open(db);
            open.prepare(QStringLiteral("SELECT 1 FROM episode WHERE start_ms >= ? AND"
                                        " start_ms < ? AND end_kind = 0 LIMIT 1"));
            open.addBindValue(I64(day));
            open.addBindValue(I64(day + Day));
            if (!open.exec())
                throw Failure("Cannot read open episodes", open.lastError().text());
            if (open.next())
                return; // not over yet: grouped from the episodes until it is
            for (int kind = 0; kind <= static_cast<int>(TCauseKind::Object); ++kind) {
                QSqlQuery sum(db);
                sum.prepare(
                    QStringLiteral("INSERT INTO cause_day (day_ms, kind, key, server, episodes,"
                                   " total_wait_ms, longest_ms, last_seen_ms) SELECT ?, ?, %1,"
                                   " server, count(*), sum(total_wait_ms), max(end_ms - start_ms),"
                                   " max(end_ms) FROM episode WHERE start_ms >= ? AND start_ms < ?"
                                   " GROUP BY %1, server")
                        .arg(QLatin1String(KeyColumn(static_cast<TCauseKind>(kind)))));
                for (const QVariant& value : {I64(day), QVariant(kind), I64(day), I64(day + Day)})
                    sum.addBindValue(value);
                if (!sum.exec())
                    throw Failure("Cannot add up the causes of a day", sum.lastError().text());
            }
            QSqlQuery done(db);
            done.prepare(
                QStringLiteral("INSERT OR IGNORE INTO cause_day_done (day_ms) VALUES (?)"));
            done.addBindValue(I64(day));
            if (!done.exec())
                throw Failure("Cannot add up the causes of a day", done.lastError().text());
            ++added;
        });
    }
    return added;
}

std::vector<TCause> THistoryStore::Causes(const THistoryFilter& filter, TCauseKind kind) {
    QSqlDatabase db = QSqlDatabase::database(ConnectionName, false);
    const QString key = QLatin1String(KeyColumn(kind));
    const QString server = filter.Server.empty() ? QString() : QStringLiteral(" AND server = ?");
    // Whole days inside the range that are added up already; a minimum duration needs every
    // episode's own.
    const std::int64_t firstWhole =
        filter.From > INT64_MIN + Day ? DayOf(filter.From + Day - 1) : DayOf(filter.From);
    const std::int64_t endWhole =
        filter.To < INT64_MAX - 1 ? DayOf(filter.To + 1) : DayOf(filter.To);
    std::vector<std::int64_t> done;
    if (filter.MinDuration <= 0 && firstWhole < endWhole) {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        q.prepare(QStringLiteral("SELECT day_ms FROM cause_day_done WHERE day_ms >= ? AND"
                                 " day_ms < ? ORDER BY day_ms"));
        q.addBindValue(I64(firstWhole));
        q.addBindValue(I64(endWhole));
        if (!q.exec())
            throw Failure("Cannot read the days added up", q.lastError().text());
        while (q.next())
            done.push_back(q.value(0).toLongLong());
    }
    // The rest of the range, read from the episodes: the gaps between the days added up.
    std::vector<TRange> rest;
    std::int64_t from = filter.From;
    for (const std::int64_t day : done) {
        if (day > from)
            rest.push_back({from, day - 1});
        from = day + Day;
    }
    if (from <= filter.To)
        rest.push_back({from, filter.To});

    QString sql = QStringLiteral("SELECT k, sum(n), sum(w), max(l), max(s) FROM (");
    QVariantList values;
    bool first = true;
    // Consecutive days added up form one range of the summed table.
    for (std::size_t i = 0; i < done.size();) {
        std::size_t j = i;
        while (j + 1 < done.size() && done[j + 1] == done[j] + Day)
            ++j;
        sql += QStringLiteral("%1SELECT key AS k, episodes AS n, total_wait_ms AS w, longest_ms"
                              " AS l, last_seen_ms AS s FROM cause_day WHERE kind = ? AND"
                              " day_ms >= ? AND day_ms <= ?%2")
                   .arg(first ? QString() : QStringLiteral(" UNION ALL "), server);
        values << static_cast<int>(kind) << I64(done[i]) << I64(done[j]);
        if (!filter.Server.empty())
            values << QString::fromStdString(filter.Server);
        first = false;
        i = j + 1;
    }
    for (const TRange& r : rest) {
        sql += QStringLiteral("%1SELECT %2 AS k, 1 AS n, total_wait_ms AS w, end_ms - start_ms AS"
                              " l, end_ms AS s FROM episode WHERE start_ms >= ? AND start_ms <= ?"
                              " AND end_ms - start_ms >= ?%3")
                   .arg(first ? QString() : QStringLiteral(" UNION ALL "), key, server);
        values << I64(r.From) << I64(r.To) << I64(filter.MinDuration);
        if (!filter.Server.empty())
            values << QString::fromStdString(filter.Server);
        first = false;
    }
    if (first)
        return {};
    sql += QStringLiteral(") GROUP BY k ORDER BY sum(w) DESC, sum(n) DESC, k LIMIT ?");
    values << filter.Limit;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(sql);
    for (const QVariant& value : values)
        q.addBindValue(value);
    if (!q.exec())
        throw Failure("Cannot group the episodes", q.lastError().text());
    std::vector<TCause> causes;
    while (q.next()) {
        TCause c;
        if (!q.value(0).isNull())
            c.Key = q.value(0).toString().toStdString();
        c.Episodes = q.value(1).toLongLong();
        c.TotalWait = q.value(2).toLongLong();
        c.Longest = q.value(3).toLongLong();
        c.LastSeen = q.value(4).toLongLong();
        causes.push_back(std::move(c));
    }
    return causes;
}

std::vector<TStoredEpisode> THistoryStore::CauseEpisodes(const THistoryFilter& filter,
                                                         TCauseKind kind,
                                                         const std::optional<std::string>& key) {
    QString sql = QStringLiteral("SELECT ") + QLatin1String(EpisodeColumns) +
                  QStringLiteral(" FROM episode WHERE start_ms >= ? AND start_ms <= ? AND"
                                 " end_ms - start_ms >= ? AND ") +
                  QLatin1String(KeyColumn(kind)) +
                  (key ? QStringLiteral(" = ?") : QStringLiteral(" IS NULL"));
    if (!filter.Server.empty())
        sql += QStringLiteral(" AND server = ?");
    sql += QStringLiteral(" ORDER BY start_ms DESC, id DESC LIMIT ?");
    QSqlQuery q(QSqlDatabase::database(ConnectionName, false));
    q.setForwardOnly(true);
    q.prepare(sql);
    q.addBindValue(I64(filter.From));
    q.addBindValue(I64(filter.To));
    q.addBindValue(I64(filter.MinDuration));
    if (key)
        q.addBindValue(QString::fromStdString(*key));
    if (!filter.Server.empty())
        q.addBindValue(QString::fromStdString(filter.Server));
    q.addBindValue(filter.Limit);
    if (!q.exec())
        throw Failure("Cannot read the episodes of a cause", q.lastError().text());
    std::vector<TStoredEpisode> episodes;
    while (q.next())
        episodes.push_back(EpisodeRow(q));
    return episodes;
}
