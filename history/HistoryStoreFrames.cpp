// The frames of the episodes, the timeline drawn from them, and the server's lock-wait counts.
#include "HistoryStore.h"

#include <QByteArray>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

QVariant I64(std::int64_t value) {
    return QVariant::fromValue<qint64>(value);
}
std::string S(const QVariant& value) {
    return value.toString().toStdString();
}

} // namespace

void THistoryStore::SaveFrame(std::int64_t episodeId, std::int64_t seq,
                              const TEpisodeFrame& frame) {
    QSqlQuery q(QSqlDatabase::database(ConnectionName, false));
    q.prepare(QStringLiteral(
        "INSERT OR REPLACE INTO episode_frame (episode_id, seq, at_ms, blocked, total_wait_ms,"
        " longest_wait_ms, head_status, head_open_tran, sessions) VALUES (?, ?, ?, ?, ?, ?, ?, ?, "
        "?)"));
    const std::string bytes = FrameBytes(frame);
    for (const QVariant& value :
         {I64(episodeId), I64(seq), I64(frame.At), QVariant(frame.Blocked()),
          I64(frame.TotalWait()), QVariant(frame.LongestWait()),
          QVariant(QString::fromStdString(frame.HeadStatus)), QVariant(frame.HeadOpenTran),
          QVariant(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())))})
        q.addBindValue(value);
    if (!q.exec())
        throw Failure("Cannot write a frame", q.lastError().text());
}

TFramesRead THistoryStore::Frames(std::int64_t episodeId) {
    QSqlQuery q(QSqlDatabase::database(ConnectionName, false));
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT at_ms, head_status, head_open_tran, sessions"
                             " FROM episode_frame WHERE episode_id = ? ORDER BY seq"));
    q.addBindValue(I64(episodeId));
    if (!q.exec())
        throw Failure("Cannot read frames", q.lastError().text());
    TFramesRead read;
    while (q.next()) {
        TEpisodeFrame frame;
        frame.At = q.value(0).toLongLong();
        frame.HeadStatus = S(q.value(1));
        frame.HeadOpenTran = q.value(2).toInt();
        const QByteArray bytes = q.value(3).toByteArray();
        if (!ReadFrameBytes(
                std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())),
                frame)) {
            ++read.Damaged;
            continue;
        }
        read.Frames.push_back(std::move(frame));
    }
    return read;
}

std::vector<TTimelineMinute> THistoryStore::Timeline(const THistoryFilter& filter,
                                                     std::int64_t bucketMs) {
    if (bucketMs < 1000)
        bucketMs = 1000;
    QSqlQuery q(QSqlDatabase::database(ConnectionName, false));
    q.setForwardOnly(true);
    // The frame with the most blocked wait in each minute speaks for it (SQLite takes the
    // other columns from the row that gave the max).
    QString sql =
        QStringLiteral("SELECT e.server, f.at_ms - (f.at_ms % ?) AS minute, max(f.total_wait_ms),"
                       " f.blocked, e.id FROM episode e JOIN episode_frame f ON f.episode_id = e.id"
                       " WHERE e.start_ms <= ? AND e.end_ms >= ? AND f.at_ms BETWEEN ? AND ?");
    if (!filter.Server.empty())
        sql += QStringLiteral(" AND e.server = ?");
    sql += QStringLiteral(" GROUP BY e.server, minute ORDER BY e.server, minute");
    q.prepare(sql);
    q.addBindValue(I64(bucketMs));
    q.addBindValue(I64(filter.To));
    q.addBindValue(I64(filter.From));
    q.addBindValue(I64(filter.From));
    q.addBindValue(I64(filter.To));
    if (!filter.Server.empty())
        q.addBindValue(QString::fromStdString(filter.Server));
    if (!q.exec())
        throw Failure("Cannot read the timeline", q.lastError().text());
    std::vector<TTimelineMinute> minutes;
    while (q.next())
        minutes.push_back({S(q.value(0)), q.value(1).toLongLong(), q.value(2).toLongLong(),
                           q.value(3).toInt(), q.value(4).toLongLong()});
    return minutes;
}

void THistoryStore::SaveLockWaits(const TLockWaitSample& sample) {
    QSqlQuery q(QSqlDatabase::database(ConnectionName, false));
    q.prepare(QStringLiteral("INSERT INTO lock_wait (server, at_ms, since_ms, waits, wait_ms)"
                             " VALUES (?, ?, ?, ?, ?)"));
    for (const QVariant& value : {QVariant(QString::fromStdString(sample.Server)), I64(sample.At),
                                  I64(sample.Since), I64(sample.Waits), I64(sample.WaitMs)})
        q.addBindValue(value);
    if (!q.exec())
        throw Failure("Cannot write lock waits", q.lastError().text());
}

std::vector<TLockWaitSample> THistoryStore::LockWaits(const THistoryFilter& filter) {
    QSqlQuery q(QSqlDatabase::database(ConnectionName, false));
    q.setForwardOnly(true);
    QString sql = QStringLiteral("SELECT server, at_ms, since_ms, waits, wait_ms FROM lock_wait"
                                 " WHERE at_ms BETWEEN ? AND ?");
    if (!filter.Server.empty())
        sql += QStringLiteral(" AND server = ?");
    sql += QStringLiteral(" ORDER BY server, at_ms");
    q.prepare(sql);
    q.addBindValue(I64(filter.From));
    q.addBindValue(I64(filter.To));
    if (!filter.Server.empty())
        q.addBindValue(QString::fromStdString(filter.Server));
    if (!q.exec())
        throw Failure("Cannot read lock waits", q.lastError().text());
    std::vector<TLockWaitSample> samples;
    while (q.next())
        samples.push_back({S(q.value(0)), q.value(1).toLongLong(), q.value(2).toLongLong(),
                           q.value(3).toLongLong(), q.value(4).toLongLong()});
    return samples;
}
