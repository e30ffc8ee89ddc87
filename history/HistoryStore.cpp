#include "HistoryStore.h"

#include "CauseKeys.h"
#include "HistorySchema.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#ifdef _WIN32
#include <QFile>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// "TLVN" in the file header tells our file from any other SQLite file.
constexpr int ApplicationId = 0x544c564e;

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}
std::string S(const QVariant& value) {
    return value.toString().toStdString();
}

bool SameSession(const TEpisodeSession& a, const TEpisodeSession& b) {
    return a.Key == b.Key && a.DBName == b.DBName && a.LastWaitType == b.LastWaitType &&
           a.WaitResource == b.WaitResource && a.BlockedBy == b.BlockedBy &&
           a.LongestWait == b.LongestWait && a.TotalWait == b.TotalWait;
}

// Creates the file readable by the user alone before SQLite opens it; SQLite gives its
// -wal and -shm files the same permissions.
void CreateFile(const std::string& path) {
#ifdef _WIN32
    // The folder's inherited ACL decides who reads it (the user's profile: the user alone).
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadWrite))
        throw THistoryError("Cannot create the history file \"" + path +
                            "\": " + file.errorString().toStdString() + ".");
#else
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        throw THistoryError("Cannot create the history file \"" + path +
                            "\": " + std::strerror(errno) + ".");
    ::close(fd);
#endif
}

} // namespace

struct THistoryStore::TPrepared {
    QSqlQuery InsertEpisode;
    QSqlQuery UpdateEpisode;
    QSqlQuery InsertSession;
    QSqlQuery UpdateSession;

    explicit TPrepared(const QSqlDatabase& db)
        : InsertEpisode(db), UpdateEpisode(db), InsertSession(db), UpdateSession(db) {}
};

std::string THistoryStore::FileNameBeside(const std::string& settingsFileName) {
    // UTF-8 both ways: on Windows a plain std::string would go through the ANSI code page.
    const std::filesystem::path settings(
        std::u8string(settingsFileName.begin(), settingsFileName.end()));
    const std::u8string name =
        (settings.parent_path() / (settings.stem().u8string() + u8"-history.sqlite")).u8string();
    return std::string(name.begin(), name.end());
}

THistoryStore::THistoryStore(const std::string& fileName, TMode mode) : Path(fileName) {
    static std::atomic<int> connections{0};
    ConnectionName = QStringLiteral("tallyvane-history-%1").arg(++connections);
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        throw THistoryError("The SQLite driver of Qt is not installed (Debian package "
                            "libqt6sql6-sqlite).");
    if (mode == TMode::Write && !std::filesystem::exists(fileName))
        CreateFile(fileName);
    if (mode == TMode::Read && !std::filesystem::exists(fileName))
        throw THistoryError("No blocking history has been recorded yet (\"" + fileName +
                            "\" does not exist).");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), ConnectionName);
        db.setDatabaseName(Q(fileName));
        db.setConnectOptions(mode == TMode::Read
                                 ? QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000;QSQLITE_OPEN_READONLY")
                                 : QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        if (!db.open()) {
            const QString why = db.lastError().text();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(ConnectionName);
            throw THistoryError("Cannot open the history file \"" + fileName +
                                "\": " + why.toStdString() + ".");
        }
    }
    try {
        if (mode == TMode::Write) {
            // WAL: readers never wait for the writer, and a killed process leaves every
            // committed transaction readable. NORMAL loses nothing on a process crash.
            Exec(QStringLiteral("PRAGMA journal_mode=WAL"));
            Exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
            Exec(QStringLiteral("PRAGMA journal_size_limit=4194304"));
        }
        CreateOrCheckSchema(mode);
        if (mode == TMode::Write) {
            Prepared = std::make_unique<TPrepared>(QSqlDatabase::database(ConnectionName, false));
            CloseOpenEpisodes();
        }
    } catch (...) {
        Prepared.reset();
        QSqlDatabase::database(ConnectionName, false).close();
        QSqlDatabase::removeDatabase(ConnectionName);
        throw;
    }
}

THistoryStore::~THistoryStore() {
    Prepared.reset();
    {
        QSqlDatabase db = QSqlDatabase::database(ConnectionName, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(ConnectionName);
}

THistoryError THistoryStore::Failure(const std::string& what, const QString& why) const {
    return THistoryError(what + " in the history file \"" + Path + "\": " + why.toStdString() +
                         ".");
}

void THistoryStore::Exec(const QString& sql) {
    QSqlQuery query(QSqlDatabase::database(ConnectionName, false));
    if (!query.exec(sql))
        throw Failure("Cannot run \"" + sql.toStdString() + "\"", query.lastError().text());
}

void THistoryStore::ApplySchemaSteps(int fromVersion) {
    for (const THistorySchemaStep& step : SchemaSteps)
        if (step.Version > fromVersion)
            for (const char* statement : step.Statements)
                Exec(QString::fromLatin1(statement));
}

void THistoryStore::CreateOrCheckSchema(TMode mode) {
    QSqlDatabase db = QSqlDatabase::database(ConnectionName, false);
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next())
        throw Failure("Cannot read the schema version", query.lastError().text());
    const int version = query.value(0).toInt();
    query.finish();
    if (version == SchemaVersion)
        return;
    if (version > SchemaVersion)
        throw THistoryError("The history file \"" + Path + "\" was written by a newer version " +
                            "of the program (schema " + std::to_string(version) +
                            "); it is left as it is.");
    if (version > 0) {
        if (mode == TMode::Read) // the writer brings it up to date when it next opens it
            throw THistoryError("The history file \"" + Path + "\" is of an older schema (" +
                                std::to_string(version) + "); start the recorder once to " +
                                "bring it up to date.");
        Transaction([&] {
            ApplySchemaSteps(version);
            if (version < 4)
                FillCauseKeys();
            Exec(QStringLiteral("PRAGMA user_version=%1").arg(SchemaVersion));
        });
        return;
    }
    if (!query.exec(QStringLiteral("SELECT count(*) FROM sqlite_schema")) || !query.next())
        throw Failure("Cannot read the schema", query.lastError().text());
    if (query.value(0).toInt() != 0)
        throw THistoryError("The file \"" + Path +
                            "\" is not a blocking history file; it is left as it is.");
    query.finish();
    if (mode == TMode::Read) // the writer has not got to it yet
        throw THistoryError("No blocking history has been recorded yet (\"" + Path +
                            "\" is empty).");
    // Set before the first table: free pages can then be given back without a full VACUUM.
    Exec(QStringLiteral("PRAGMA auto_vacuum=INCREMENTAL"));
    Transaction([&] {
        for (const char* statement : BaseSchema)
            Exec(QString::fromLatin1(statement));
        ApplySchemaSteps(1);
        Exec(QStringLiteral("PRAGMA application_id=%1").arg(ApplicationId));
        Exec(QStringLiteral("PRAGMA user_version=%1").arg(SchemaVersion));
    });
}

void THistoryStore::Transaction(const std::function<void()>& work) {
    QSqlDatabase db = QSqlDatabase::database(ConnectionName, false);
    if (!db.transaction())
        throw Failure("Cannot begin a transaction", db.lastError().text());
    try {
        work();
    } catch (...) {
        db.rollback();
        throw;
    }
    if (!db.commit()) {
        const QString why = db.lastError().text();
        db.rollback();
        throw Failure("Cannot commit", why);
    }
}

int THistoryStore::CloseOpenEpisodes() {
    QSqlQuery query(QSqlDatabase::database(ConnectionName, false));
    if (!query.exec(QStringLiteral("UPDATE episode SET end_kind = 2 WHERE end_kind = 0")))
        throw Failure("Cannot close the episodes of an earlier run", query.lastError().text());
    return query.numRowsAffected();
}

std::int64_t THistoryStore::SaveEpisode(std::int64_t rowId, const TEpisode& e,
                                        const TEpisode* before) {
    QSqlQuery& q = rowId == 0 ? Prepared->InsertEpisode : Prepared->UpdateEpisode;
    if (q.lastQuery().isEmpty()) {
        const bool ok =
            rowId == 0
                ? q.prepare(QStringLiteral(
                      "INSERT INTO episode (server, start_ms, end_ms, end_kind, peak_wait_ms,"
                      " peak_blocked, total_wait_ms, head_spid, head_login, head_host,"
                      " head_program, head_database, head_status, head_open_tran, wait_object)"
                      " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"))
                : q.prepare(QStringLiteral(
                      "UPDATE episode SET server = ?, start_ms = ?, end_ms = ?, end_kind = ?,"
                      " peak_wait_ms = ?, peak_blocked = ?, total_wait_ms = ?, head_spid = ?,"
                      " head_login = ?, head_host = ?, head_program = ?, head_database = ?,"
                      " head_status = ?, head_open_tran = ?, wait_object = ? WHERE id = ?"));
        if (!ok)
            throw Failure("Cannot prepare the episode statement", q.lastError().text());
    }
    const QVariantList values = {
        Q(e.Server), QVariant::fromValue<qint64>(e.Start), QVariant::fromValue<qint64>(e.End),
        static_cast<int>(e.EndKind), e.PeakWait, e.PeakBlocked,
        QVariant::fromValue<qint64>(e.TotalBlockedWait), e.Head.Spid, Q(e.Head.LoginName),
        Q(e.Head.HostName), Q(e.Head.ProgramName), Q(e.HeadDBName), Q(e.HeadStatus), e.HeadOpenTran,
        // What the first session blocked waited on names the object.
        Q(e.Sessions.empty() ? std::string() : WaitObject(e.Sessions[0].WaitResource))};
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values[i]);
    if (rowId != 0)
        q.bindValue(static_cast<int>(values.size()), QVariant::fromValue<qint64>(rowId));
    if (!q.exec())
        throw Failure("Cannot write an episode", q.lastError().text());
    if (rowId == 0)
        rowId = q.lastInsertId().toLongLong();

    const std::size_t known = before != nullptr ? before->Sessions.size() : 0;
    for (std::size_t i = 0; i < e.Sessions.size(); ++i) {
        if (i < known && SameSession(e.Sessions[i], before->Sessions[i]))
            continue;
        const bool insert = i >= known;
        QSqlQuery& s = insert ? Prepared->InsertSession : Prepared->UpdateSession;
        if (s.lastQuery().isEmpty()) {
            const bool ok =
                insert ? s.prepare(QStringLiteral(
                             "INSERT INTO blocked_session (spid, login, host, program, database,"
                             " wait_type, wait_resource, blocked_by, longest_wait_ms,"
                             " total_wait_ms, episode_id, ordinal)"
                             " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"))
                       : s.prepare(QStringLiteral(
                             "UPDATE blocked_session SET spid = ?, login = ?, host = ?,"
                             " program = ?, database = ?, wait_type = ?, wait_resource = ?,"
                             " blocked_by = ?, longest_wait_ms = ?, total_wait_ms = ?"
                             " WHERE episode_id = ? AND ordinal = ?"));
            if (!ok)
                throw Failure("Cannot prepare the session statement", s.lastError().text());
        }
        const TEpisodeSession& b = e.Sessions[i];
        const QVariantList row = {b.Key.Spid,
                                  Q(b.Key.LoginName),
                                  Q(b.Key.HostName),
                                  Q(b.Key.ProgramName),
                                  Q(b.DBName),
                                  Q(b.LastWaitType),
                                  Q(b.WaitResource),
                                  b.BlockedBy,
                                  b.LongestWait,
                                  QVariant::fromValue<qint64>(b.TotalWait),
                                  QVariant::fromValue<qint64>(rowId),
                                  static_cast<int>(i)};
        for (int v = 0; v < row.size(); ++v)
            s.bindValue(v, row[v]);
        if (!s.exec())
            throw Failure("Cannot write a blocked session", s.lastError().text());
    }
    return rowId;
}

void THistoryStore::SaveStatement(std::int64_t rowId, const std::string& statement) {
    QSqlQuery q(QSqlDatabase::database(ConnectionName, false));
    q.prepare(
        QStringLiteral("UPDATE episode SET head_statement = ?, head_fingerprint = ? WHERE id = ?"));
    q.addBindValue(Q(statement));
    q.addBindValue(Q(StatementFingerprint(statement)));
    q.addBindValue(QVariant::fromValue<qint64>(rowId));
    if (!q.exec())
        throw Failure("Cannot write a statement", q.lastError().text());
}

int THistoryStore::DeleteEndedBefore(std::int64_t cutoff) {
    QSqlQuery q(QSqlDatabase::database(ConnectionName, false));
    int deleted = 0;
    Transaction([&] {
        q.prepare(QStringLiteral("DELETE FROM blocked_session WHERE episode_id IN"
                                 " (SELECT id FROM episode WHERE end_ms < ? AND end_kind <> 0)"));
        q.addBindValue(QVariant::fromValue<qint64>(cutoff));
        if (!q.exec())
            throw Failure("Cannot delete old sessions", q.lastError().text());
        q.prepare(QStringLiteral("DELETE FROM episode_frame WHERE episode_id IN"
                                 " (SELECT id FROM episode WHERE end_ms < ? AND end_kind <> 0)"));
        q.addBindValue(QVariant::fromValue<qint64>(cutoff));
        if (!q.exec())
            throw Failure("Cannot delete old frames", q.lastError().text());
        q.prepare(QStringLiteral("DELETE FROM episode WHERE end_ms < ? AND end_kind <> 0"));
        q.addBindValue(QVariant::fromValue<qint64>(cutoff));
        if (!q.exec())
            throw Failure("Cannot delete old episodes", q.lastError().text());
        deleted = q.numRowsAffected();
        for (const char* sql :
             {"DELETE FROM lock_wait WHERE at_ms < ?", "DELETE FROM cause_day WHERE day_ms < ?",
              "DELETE FROM cause_day_done WHERE day_ms < ?"}) {
            q.prepare(QString::fromLatin1(sql));
            q.addBindValue(QVariant::fromValue<qint64>(cutoff));
            if (!q.exec())
                throw Failure("Cannot delete old figures", q.lastError().text());
        }
        q.prepare(QStringLiteral("DELETE FROM kill WHERE time_ms < ?"));
        q.addBindValue(QVariant::fromValue<qint64>(cutoff));
        if (!q.exec())
            throw Failure("Cannot delete old kills", q.lastError().text());
        deleted += q.numRowsAffected();
    });
    return deleted;
}

void THistoryStore::Shrink() {
    Exec(QStringLiteral("PRAGMA incremental_vacuum"));
    Exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
}

const char* const THistoryStore::EpisodeColumns =
    "id, server, start_ms, end_ms, end_kind, peak_wait_ms, peak_blocked, total_wait_ms, head_spid,"
    " head_login, head_host, head_program, head_database, head_status, head_open_tran,"
    " head_statement";

TStoredEpisode THistoryStore::EpisodeRow(const QSqlQuery& q) {
    TStoredEpisode stored;
    TEpisode& e = stored.Episode;
    e.Id = static_cast<std::uint64_t>(q.value(0).toLongLong());
    e.Server = S(q.value(1));
    e.Start = q.value(2).toLongLong();
    e.End = q.value(3).toLongLong();
    const int kind = q.value(4).toInt();
    e.EndKind =
        kind == 1 ? TEpisodeEnd::Ended : (kind == 2 ? TEpisodeEnd::Unknown : TEpisodeEnd::Open);
    e.PeakWait = q.value(5).toInt();
    e.PeakBlocked = q.value(6).toInt();
    e.TotalBlockedWait = q.value(7).toLongLong();
    e.Head = {q.value(8).toInt(), S(q.value(9)), S(q.value(10)), S(q.value(11))};
    e.HeadDBName = S(q.value(12));
    e.HeadStatus = S(q.value(13));
    e.HeadOpenTran = q.value(14).toInt();
    if (!q.value(15).isNull())
        stored.Statement = S(q.value(15));
    return stored;
}

std::vector<TStoredEpisode> THistoryStore::Episodes(const THistoryFilter& filter) {
    QSqlQuery q(QSqlDatabase::database(ConnectionName, false));
    q.setForwardOnly(true);
    QString sql = QStringLiteral("SELECT ") + QLatin1String(EpisodeColumns) +
                  QStringLiteral(" FROM episode"
                                 " WHERE start_ms <= ? AND end_ms >= ? AND end_ms - start_ms >= ?");
    if (!filter.Server.empty())
        sql += QStringLiteral(" AND server = ?");
    sql += QStringLiteral(" ORDER BY start_ms DESC, id DESC LIMIT ?");
    q.prepare(sql);
    q.addBindValue(QVariant::fromValue<qint64>(filter.To));
    q.addBindValue(QVariant::fromValue<qint64>(filter.From));
    q.addBindValue(QVariant::fromValue<qint64>(filter.MinDuration));
    if (!filter.Server.empty())
        q.addBindValue(Q(filter.Server));
    q.addBindValue(filter.Limit);
    if (!q.exec())
        throw Failure("Cannot read episodes", q.lastError().text());
    std::vector<TStoredEpisode> episodes;
    while (q.next())
        episodes.push_back(EpisodeRow(q));
    return episodes;
}

std::vector<TEpisodeSession> THistoryStore::Sessions(std::int64_t episodeId) {
    QSqlQuery q(QSqlDatabase::database(ConnectionName, false));
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT spid, login, host, program, database, wait_type,"
                             " wait_resource, blocked_by, longest_wait_ms, total_wait_ms"
                             " FROM blocked_session WHERE episode_id = ? ORDER BY ordinal"));
    q.addBindValue(QVariant::fromValue<qint64>(episodeId));
    if (!q.exec())
        throw Failure("Cannot read blocked sessions", q.lastError().text());
    std::vector<TEpisodeSession> sessions;
    while (q.next()) {
        TEpisodeSession s;
        s.Key = {q.value(0).toInt(), S(q.value(1)), S(q.value(2)), S(q.value(3))};
        s.DBName = S(q.value(4));
        s.LastWaitType = S(q.value(5));
        s.WaitResource = S(q.value(6));
        s.BlockedBy = q.value(7).toInt();
        s.LongestWait = q.value(8).toInt();
        s.TotalWait = q.value(9).toLongLong();
        sessions.push_back(std::move(s));
    }
    return sessions;
}

std::vector<std::string> THistoryStore::Servers() {
    QSqlQuery q(QSqlDatabase::database(ConnectionName, false));
    if (!q.exec(QStringLiteral("SELECT server FROM episode UNION SELECT server FROM deadlock"
                               " ORDER BY server")))
        throw Failure("Cannot read the servers", q.lastError().text());
    std::vector<std::string> servers;
    while (q.next())
        servers.push_back(S(q.value(0)));
    return servers;
}

void THistoryStore::SaveKill(const TKillRecord& k) {
    QSqlQuery q(QSqlDatabase::database(ConnectionName, false));
    q.prepare(QStringLiteral("INSERT INTO kill (server, time_ms, spid, login, host, program,"
                             " statement, killed_by, open_tran, blocked_count, outcome)"
                             " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    q.addBindValue(Q(k.Server));
    q.addBindValue(QVariant::fromValue<qint64>(k.Time));
    q.addBindValue(k.Spid);
    q.addBindValue(Q(k.Login));
    q.addBindValue(Q(k.Host));
    q.addBindValue(Q(k.Program));
    q.addBindValue(k.Statement ? QVariant(Q(*k.Statement))
                               : QVariant(QMetaType(QMetaType::QString)));
    q.addBindValue(Q(k.KilledBy));
    q.addBindValue(k.OpenTran);
    q.addBindValue(k.BlockedCount);
    q.addBindValue(Q(k.Outcome));
    if (!q.exec())
        throw Failure("Cannot write a kill", q.lastError().text());
}

std::vector<TKillRecord> THistoryStore::Kills(const THistoryFilter& filter) {
    QSqlQuery q(QSqlDatabase::database(ConnectionName, false));
    q.setForwardOnly(true);
    QString sql = QStringLiteral("SELECT server, time_ms, spid, login, host, program, statement,"
                                 " killed_by, open_tran, blocked_count, outcome FROM kill"
                                 " WHERE time_ms >= ? AND time_ms <= ?");
    if (!filter.Server.empty())
        sql += QStringLiteral(" AND server = ?");
    sql += QStringLiteral(" ORDER BY time_ms DESC, id DESC LIMIT ?");
    q.prepare(sql);
    q.addBindValue(QVariant::fromValue<qint64>(filter.From));
    q.addBindValue(QVariant::fromValue<qint64>(filter.To));
    if (!filter.Server.empty())
        q.addBindValue(Q(filter.Server));
    q.addBindValue(filter.Limit);
    if (!q.exec())
        throw Failure("Cannot read kills", q.lastError().text());
    std::vector<TKillRecord> kills;
    while (q.next()) {
        TKillRecord k;
        k.Server = S(q.value(0));
        k.Time = q.value(1).toLongLong();
        k.Spid = q.value(2).toInt();
        k.Login = S(q.value(3));
        k.Host = S(q.value(4));
        k.Program = S(q.value(5));
        if (!q.value(6).isNull())
            k.Statement = S(q.value(6));
        k.KilledBy = S(q.value(7));
        k.OpenTran = q.value(8).toInt();
        k.BlockedCount = q.value(9).toInt();
        k.Outcome = S(q.value(10));
        kills.push_back(std::move(k));
    }
    return kills;
}
