// Deadlock reports in the history file: written whole, kept once, listed by server and time,
// dropped with the retention, and the newest per server for a reader that starts again.
#include "DeadlockFixtures.h"
#include "HistoryRecorder.h"
#include "HistoryStore.h"
#include "HistoryTestSupport.h"
#include "HistoryWriter.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

namespace {

using deadlocks::ThreeWay;
using deadlocks::TwoWay;

std::string Text(const TDeadlockProcess& p) {
    return p.Id + "|" + std::to_string(p.Spid) + "|" + (p.Victim ? "victim" : "-") + "|" +
           p.LoginName + "|" + p.HostName + "|" + p.ProgramName + "|" + p.DBName + "|" +
           p.LockMode + "|" + p.WaitResource + "|" + p.ObjectName + "|" + p.IndexName + "|" +
           p.Statement;
}

std::string Text(const std::vector<TDeadlockResource>& resources) {
    std::string text;
    for (const TDeadlockResource& r : resources) {
        text += r.Kind + " " + r.ObjectName + " " + r.IndexName + " " + r.WaitType + ":";
        for (const TDeadlockLock& l : r.Owners)
            text += " owner " + l.ProcessId + "/" + l.Mode;
        for (const TDeadlockLock& l : r.Waiters)
            text += " waiter " + l.ProcessId + "/" + l.Mode;
        text += "\n";
    }
    return text;
}

// "server@seconds victim", newest first.
std::string List(THistoryStore& store, const THistoryFilter& filter) {
    std::string text;
    for (const TStoredDeadlock& d : store.Deadlocks(filter)) {
        const TDeadlockProcess* victim = d.Report.FirstVictim();
        text += (text.empty() ? "" : " ") + d.Server + "@" + std::to_string(d.Report.Time / 1000) +
                " " + (victim ? std::to_string(victim->Spid) : "-");
    }
    return text;
}

class DeadlockStoreTest : public ::testing::Test {
protected:
    TTempFolder Folder;
    std::string File = Folder.File("tallyvane-history.sqlite");
};

TEST_F(DeadlockStoreTest, KeepsAReportWholeAndListsItWithoutItsStatements) {
    TDeadlockReport report = ThreeWay(1'700'000'000'123);
    // What a hostile server could put into its report comes back as it went in.
    report.Processes[0].Statement = "UPDATE t SET a = N'ü'\r\n'); DROP TABLE deadlock; --\x01";
    report.Processes[2].ProgramName = "\xE2\x80\xAEgnp.exe";
    report.Truncated = true;
    report.Xml = deadlocks::XmlOf(report);
    const std::string server = "PROD'; DELETE FROM deadlock; --";
    {
        THistoryStore store(File, THistoryStore::TMode::Write);
        store.Transaction([&] { EXPECT_TRUE(store.SaveDeadlock(server, report)); });
    }
    THistoryStore reader(File, THistoryStore::TMode::Read);
    const auto listed = reader.Deadlocks({});
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].Server, server);
    EXPECT_EQ(listed[0].Report.Time, report.Time);
    EXPECT_TRUE(listed[0].Report.Truncated);
    EXPECT_TRUE(listed[0].Report.Xml.empty()) << "the XML is read when it is wanted";
    EXPECT_TRUE(listed[0].Report.Resources.empty());
    ASSERT_EQ(listed[0].Report.Processes.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        TDeadlockProcess without = report.Processes[i];
        without.Statement.clear();
        EXPECT_EQ(Text(listed[0].Report.Processes[i]), Text(without));
    }

    const std::optional<TStoredDeadlock> whole = reader.Deadlock(listed[0].Id);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->Server, server);
    EXPECT_EQ(whole->Report.Xml, report.Xml);
    ASSERT_EQ(whole->Report.Processes.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(Text(whole->Report.Processes[i]), Text(report.Processes[i]));
    EXPECT_EQ(Text(whole->Report.Resources), Text(report.Resources));
    EXPECT_EQ(Sqlite(File, "select victim_spid, victim_login, victim_program from deadlock"),
              "71|web|Shop");
    EXPECT_FALSE(reader.Deadlock(listed[0].Id + 1)) << "no such deadlock";
}

TEST_F(DeadlockStoreTest, KeepsAParallelQuerysExchangeWithItsWaitType) {
    const TDeadlockReport report = deadlocks::Parallel(1000);
    THistoryStore store(File, THistoryStore::TMode::Write);
    store.Transaction([&] { EXPECT_TRUE(store.SaveDeadlock("BI", report)); });
    const std::optional<TStoredDeadlock> whole = store.Deadlock(store.Deadlocks({})[0].Id);
    ASSERT_TRUE(whole);
    EXPECT_EQ(Text(whole->Report.Resources),
              "exchangeEvent   e_waitPipeGetRow: owner pB/ waiter pA/\n"
              "keylock Fin.dbo.Ledger PK_Ledger : owner pA/X waiter pB/S\n");
    ASSERT_EQ(whole->Report.Processes.size(), 2u);
    EXPECT_EQ(whole->Report.Processes[1].Id, "pB") << "threads of one SPID stay apart";
}

TEST_F(DeadlockStoreTest, AReportReadTwiceIsKeptOnce) {
    THistoryStore store(File, THistoryStore::TMode::Write);
    store.Transaction([&] { ASSERT_TRUE(store.SaveDeadlock("PROD", TwoWay(5000))); });
    TDeadlockReport noVictim = TwoWay(9000);
    noVictim.Processes[0].Victim = false;
    struct {
        const char* Name;
        std::string Server;
        TDeadlockReport Report;
        bool Kept;
    } cases[] = {
        {"the same report again", "PROD", TwoWay(5000), false},
        {"another server at the same time", "QA", TwoWay(5000), true},
        {"the same server a millisecond later", "PROD", TwoWay(5001), true},
        {"another victim at the same time", "PROD", TwoWay(5000, 58), true},
        {"a report that names no victim", "PROD", noVictim, true},
        {"and that one again", "PROD", noVictim, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        store.Transaction([&] { EXPECT_EQ(store.SaveDeadlock(c.Server, c.Report), c.Kept); });
    }
    EXPECT_EQ(Sqlite(File, "select count(*) from deadlock; select count(*) from"
                           " deadlock_participant; select count(*) from deadlock_resource;"
                           " select count(*) from deadlock_lock"),
              "5\n10\n10\n20")
        << "the parts of a report kept once are written once";
}

TEST_F(DeadlockStoreTest, ListsNewestFirstByServerAndTime) {
    THistoryStore store(File, THistoryStore::TMode::Write);
    store.Transaction([&] {
        store.SaveDeadlock("A", TwoWay(1000));
        store.SaveDeadlock("B", ThreeWay(5000));
        store.SaveDeadlock("A", TwoWay(10000, 60));
        store.SaveDeadlock("A", TwoWay(70000, 61));
        store.SaveEpisode(0, MakeEpisode("C", 1000, 5000), nullptr);
    });
    struct {
        const char* Name;
        THistoryFilter Filter;
        const char* Expected;
    } cases[] = {
        {"everything", {}, "A@70 61 A@10 60 B@5 71 A@1 57"},
        {"one server", {"B"}, "B@5 71"},
        {"a time range, both ends in it", {"", 5000, 10000}, "A@10 60 B@5 71"},
        {"a range with none", {"", 11000, 69999}, ""},
        {"limit", {"A", 0, INT64_MAX, 0, 2}, "A@70 61 A@10 60"},
        {"a server that has none", {"C"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(List(store, c.Filter), c.Expected);
    }
    const auto limited = store.Deadlocks({"A", 0, INT64_MAX, 0, 2});
    ASSERT_EQ(limited.size(), 2u);
    EXPECT_EQ(limited[1].Report.Processes.size(), 2u) << "each with its own processes";
    const std::vector<std::string> servers = {"A", "B", "C"};
    EXPECT_EQ(store.Servers(), servers) << "servers with deadlocks alone are offered too";
    const std::map<std::string, std::int64_t> newest = {{"A", 70000}, {"B", 5000}};
    EXPECT_EQ(store.NewestDeadlockTimes(), newest);
    // A report dated after the bound (a clock that ran ahead) does not count as the newest.
    const std::map<std::string, std::int64_t> before = {{"A", 10000}, {"B", 5000}};
    EXPECT_EQ(store.NewestDeadlockTimes(69999), before);
}

TEST_F(DeadlockStoreTest, RetentionDeletesOlderDeadlocksWithTheirParts) {
    THistoryStore store(File, THistoryStore::TMode::Write);
    store.Transaction([&] {
        store.SaveDeadlock("A", TwoWay(1000));
        store.SaveDeadlock("A", ThreeWay(4999));
        store.SaveDeadlock("A", TwoWay(5000));
    });
    EXPECT_EQ(store.DeleteDeadlocksBefore(5000), 2);
    EXPECT_EQ(List(store, {}), "A@5 57");
    EXPECT_EQ(Sqlite(File, "select count(*) from deadlock_participant; select count(*) from"
                           " deadlock_resource; select count(*) from deadlock_lock"),
              "2\n2\n4");
    EXPECT_TRUE(store.NewestDeadlockTimes().count("A"));
    EXPECT_EQ(store.DeleteDeadlocksBefore(5000), 0);
}

// The writer thread: deadlocks go with the episodes, a report handed over twice (a reader
// that starts again) is kept once, and the daily retention takes old ones.
class DeadlockWriterTest : public ::testing::Test {
protected:
    static constexpr std::int64_t Day = THistoryWriter::Day;
    TTempFolder Folder;
    std::string File = Folder.File("h.sqlite");
    std::atomic<std::int64_t> Now{100 * Day + 12 * 3600 * 1000};

    std::unique_ptr<THistoryWriter> Start(int retentionDays = 14) {
        auto writer =
            std::make_unique<THistoryWriter>(File, retentionDays, [this] { return Now.load(); });
        writer->Start();
        return writer;
    }
    std::string Stored() {
        THistoryStore reader(File, THistoryStore::TMode::Read);
        return List(reader, {});
    }
};

TEST_F(DeadlockWriterTest, WritesReportsOnceAndDropsThemWithTheRetention) {
    const std::int64_t today = Now / Day * Day;
    const std::int64_t kept = today - 14 * Day; // the first moment of the oldest kept day
    THistoryRecorder recorder;
    auto writer = Start(14);
    recorder.SetWriter(writer.get());
    recorder.DeadlocksRead("B", {ThreeWay(today + 1000)});
    recorder.DeadlocksRead("B", {ThreeWay(today + 1000), ThreeWay(today + 2000)});
    ASSERT_TRUE(writer->Flush());
    EXPECT_EQ(Sqlite(File, "select count(*) from deadlock"), "2") << "read twice, kept once";

    recorder.DeadlocksRead("A", {TwoWay(kept - 1), TwoWay(kept, 58)});
    ASSERT_TRUE(writer->Flush());
    writer->SetRetentionDays(14); // the daily retention, now
    recorder.DeadlocksRead("B", {ThreeWay(today + 3000)});
    ASSERT_TRUE(writer->Flush());
    EXPECT_EQ(Stored(), "B@" + std::to_string((today + 3000) / 1000) + " 71 B@" +
                            std::to_string((today + 2000) / 1000) + " 71 B@" +
                            std::to_string((today + 1000) / 1000) + " 71 A@" +
                            std::to_string(kept / 1000) + " 58")
        << "the last millisecond of the day before the kept period went";

    recorder.SetWriter(nullptr);
    recorder.DeadlocksRead("B", {ThreeWay(today + 4000)}); // not recording: nowhere to go
    writer.reset();
    EXPECT_EQ(Sqlite(File, "select count(*) from deadlock"), "4");
}

TEST_F(DeadlockWriterTest, AFileThatCannotBeWrittenKeepsTheReportsUntilItCan) {
    const std::string missing = Folder.File("later/h.sqlite");
    THistoryWriter writer(missing, 14, [this] { return Now.load(); });
    QStringList failures;
    QObject::connect(&writer, &THistoryWriter::Failed,
                     [&](const QString& message) { failures << message; });
    writer.Start();
    writer.SubmitDeadlocks({{"A", TwoWay(Now - 5000)}});
    ASSERT_TRUE(writer.Flush());
    EXPECT_EQ(failures.size(), 1);
    std::filesystem::create_directory(Folder.Path / "later");
    Now += 6000; // past the pause after a failure
    writer.SubmitDeadlocks({{"A", TwoWay(Now)}});
    ASSERT_TRUE(writer.Flush());
    THistoryStore reader(missing, THistoryStore::TMode::Read);
    EXPECT_EQ(reader.Deadlocks({}).size(), 2u) << "the one that waited is written too";
}

} // namespace
