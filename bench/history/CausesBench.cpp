// A year of the demo's history grouped by cause: the two servers of the demo that record
// blocking (PROD-SQL01 and REPORT-SQL02) each give three episodes per 30 s, 51 (payroll), 57
// (hr_app) and 62 (stock), for 365 days. The file is made by the store, the episodes put in by
// one generating statement, the past days added up as the writer does once a day; then every
// grouping over the whole year is timed. Usage: bench_causes [days] (default 365).
#include "HistoryStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <cstdio>
#include <filesystem>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int days = argc > 1 ? std::max(1, std::atoi(argv[1])) : 365;
    constexpr std::int64_t Day = 24 * 3600 * 1000LL;
    const std::int64_t now = 1'797'000'000'000; // 2026-12-11
    const std::int64_t first = (now / Day - days) * Day;
    QTemporaryDir dir;
    const std::string file = dir.filePath("history.sqlite").toStdString();
    std::printf("Causes over %d days of the demo's history\ngoal: each grouping of the whole "
                "range in under 1 s\n\n",
                days);
    QElapsedTimer took;
    took.start();
    { THistoryStore store(file, THistoryStore::TMode::Write); }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "gen");
        db.setDatabaseName(QString::fromStdString(file));
        db.open();
        QSqlQuery q(db);
        q.exec("PRAGMA journal_mode=WAL");
        // Per 30 s period p and server s: three episodes as the demo plays them.
        const QString sql =
            QStringLiteral(
                "WITH RECURSIVE p(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM p WHERE n + 1 < %1),"
                " s(name) AS (VALUES ('PROD-SQL01'), ('REPORT-SQL02')),"
                " k(spid, login, host, program, off, len, total, fp, obj) AS (VALUES"
                " (51, 'payroll', 'APP-SRV-01', 'Payroll Service', 0, 25500, 43000,"
                "  'begin tran update dbo.salaries set amount = amount * ? where deptid = ?',"
                "  'database 5, hobt 72057594043301888'),"
                " (57, 'hr_app', 'HR-APP-01', 'HR Portal', 15000, 5500, 10000,"
                "  'delete from dbo.absences where until < ?', 'database 7, PAGE'),"
                " (62, 'stock', 'WH-SCAN-02', 'Inventory Sync', 24000, 5500, 5500,"
                "  'select sku, sum(qty) from dbo.stock group by sku', 'database 6, hobt "
                "72057594040614912'))"
                " INSERT INTO episode (server, start_ms, end_ms, end_kind, peak_wait_ms, "
                "peak_blocked,"
                " total_wait_ms, head_spid, head_login, head_host, head_program, head_database,"
                " head_status, head_open_tran, head_statement, head_fingerprint, wait_object)"
                " SELECT s.name, %2 + p.n * 30000 + k.off, %2 + p.n * 30000 + k.off + k.len, 1,"
                " k.len, 2, k.total, k.spid, k.login, k.host, k.program, 'Sales', 'sleeping', 1,"
                " k.fp, k.fp, k.obj FROM p, s, k")
                .arg(static_cast<qint64>(days) * 2880)
                .arg(first);
        if (!q.exec(sql)) {
            std::printf("generating failed: %s\n", q.lastError().text().toUtf8().constData());
            return 1;
        }
        q.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    }
    QSqlDatabase::removeDatabase("gen");
    std::printf("generated %lld episodes in %.1f s; file %.0f MB\n",
                static_cast<long long>(days) * 2880 * 6, took.elapsed() / 1000.0,
                static_cast<double>(std::filesystem::file_size(file)) / 1e6);

    THistoryStore store(file, THistoryStore::TMode::Write);
    took.restart();
    const int rolled = store.RollUpCauses(now);
    std::printf("added up %d past days in %.1f s (the writer does this once a day, a day at a "
                "time)\n\n",
                rolled, took.elapsed() / 1000.0);

    THistoryFilter year;
    year.From = first + 3600'000; // not on a day's edge: the first and last day from episodes
    year.To = now;
    bool met = true;
    for (TCauseKind kind : {TCauseKind::Login, TCauseKind::Program, TCauseKind::Host,
                            TCauseKind::Statement, TCauseKind::Object}) {
        took.restart();
        const std::vector<TCause> causes = store.Causes(year, kind);
        const double seconds = static_cast<double>(took.nsecsElapsed()) / 1e9;
        met = met && seconds < 1.0;
        std::printf("%-10s %6.3f s  %zu groups, first \"%s\" with %lld episodes, %.0f h blocked\n",
                    kind == TCauseKind::Login       ? "login"
                    : kind == TCauseKind::Program   ? "program"
                    : kind == TCauseKind::Host      ? "host"
                    : kind == TCauseKind::Statement ? "statement"
                                                    : "object",
                    seconds, causes.size(),
                    causes.empty() ? ""
                                   : causes.front().Key.value_or("(none)").substr(0, 40).c_str(),
                    causes.empty() ? 0LL : static_cast<long long>(causes.front().Episodes),
                    causes.empty() ? 0.0 : static_cast<double>(causes.front().TotalWait) / 3.6e6);
    }
    // One server, and a minimum duration (read from the episodes themselves).
    THistoryFilter one = year;
    one.Server = "PROD-SQL01";
    took.restart();
    store.Causes(one, TCauseKind::Login);
    std::printf("login, one server: %.3f s\n", static_cast<double>(took.nsecsElapsed()) / 1e9);
    THistoryFilter month = year;
    month.From = now - 30 * Day;
    month.MinDuration = 10'000;
    took.restart();
    store.Causes(month, TCauseKind::Login);
    std::printf("login, last 30 days, lasting 10 s or more (no sums): %.3f s\n",
                static_cast<double>(took.nsecsElapsed()) / 1e9);
    std::printf("\n%s\n", met ? "goal met" : "GOAL MISSED");
    return 0;
}
