// kill -9 while the writer records: the file stays whole (sqlite3's integrity check) and
// every episode the writer had reported committed is there.
#include "TempFolder.h"

#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>
#include <random>
#include <set>

namespace {

std::string Sqlite(const std::string& file, const std::string& sql) {
    QProcess sqlite;
    sqlite.start(QStringLiteral("sqlite3"),
                 {QString::fromStdString(file), QString::fromStdString(sql)});
    sqlite.waitForFinished(30000);
    return QString::fromUtf8(sqlite.readAllStandardOutput()).trimmed().toStdString();
}

TEST(HistoryKill, AKilledWriterLeavesAWholeFileWithEveryCommittedEpisode) {
    TTempFolder folder;
    const std::string file = folder.File("history.sqlite");
    std::mt19937 random(20261210);
    std::set<std::string> committed;
    std::uint64_t next = 1000;
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        QProcess child;
        child.start(QStringLiteral(TALLYVANE_KILL_CHILD),
                    {QString::fromStdString(file), QString::number(next)});
        ASSERT_TRUE(child.waitForStarted());
        // Until it has committed something, then a random moment later.
        std::string out;
        while (out.find("committed") == std::string::npos && child.waitForReadyRead(10000))
            out += child.readAllStandardOutput().toStdString();
        ASSERT_NE(out.find("committed"), std::string::npos) << "nothing committed";
        QThread::msleep(std::uniform_int_distribution<int>(0, 150)(random));
        child.kill(); // SIGKILL
        child.waitForFinished();
        out += child.readAllStandardOutput().toStdString();
        std::size_t at = 0;
        while ((at = out.find("committed ", at)) != std::string::npos) {
            at += 10;
            const std::size_t end = out.find('\n', at);
            if (end == std::string::npos)
                break; // a line cut by the kill
            committed.insert(out.substr(at, end - at));
            next = std::max<std::uint64_t>(next, std::stoull(out.substr(at, end - at)) + 1);
        }
        ++next;

        ASSERT_EQ(Sqlite(file, "PRAGMA integrity_check"), "ok");
        const QStringList stored =
            QString::fromStdString(
                Sqlite(file, "select head_login from episode where end_kind = 1"))
                .split('\n');
        std::set<std::string> present;
        for (const QString& login : stored)
            present.insert(login.toStdString());
        for (const std::string& key : committed)
            ASSERT_TRUE(present.count(key)) << "committed episode " << key << " is lost";
    }
    EXPECT_GT(committed.size(), 12u);
}

} // namespace
