#include "HistoryStore.h"

#include "HistoryTestSupport.h"
#include "TempFolder.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <gtest/gtest.h>

namespace {

class HistoryStoreTest : public ::testing::Test {
protected:
    TTempFolder Folder;
    std::string File = Folder.File("tallyvane-history.sqlite");
};

TEST_F(HistoryStoreTest, NamesItsFileAfterTheSettingsFile) {
    EXPECT_EQ(THistoryStore::FileNameBeside("/opt/tools/tallyvane.ini"),
              "/opt/tools/tallyvane-history.sqlite");
    EXPECT_EQ(THistoryStore::FileNameBeside("/home/u/.config/Tallyvane/monitor.ini"),
              "/home/u/.config/Tallyvane/monitor-history.sqlite");
}

TEST_F(HistoryStoreTest, CreatesAPrivateWalFileWithItsSchemaVersion) {
    {
        THistoryStore store(File, THistoryStore::TMode::Write);
        store.Transaction([&] { store.SaveEpisode(0, MakeEpisode("PROD", 1000, 5000), nullptr); });
        EXPECT_EQ(FileMode(File), 0600u);
        EXPECT_EQ(FileMode(File + "-wal"), 0600u) << "the journal holds the same data";
    }
    EXPECT_EQ(Sqlite(File, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(Sqlite(File, "PRAGMA user_version"), std::to_string(THistoryStore::SchemaVersion));
    EXPECT_EQ(Sqlite(File, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(Sqlite(File, "select server, end_ms - start_ms from episode"), "PROD|4000");
}

TEST_F(HistoryStoreTest, BringsFilesOfEveryOlderSchemaUpToDateAndKeepsTheirEpisodes) {
    for (int version = 1; version < THistoryStore::SchemaVersion; ++version) {
        const std::string file = Folder.File("v" + std::to_string(version) + ".sqlite");
        ASSERT_EQ(MakeOlderFile(file, version), "");
        try {
            THistoryStore reader(file, THistoryStore::TMode::Read);
            ADD_FAILURE() << "a reader changed the schema";
        } catch (const THistoryError& e) {
            EXPECT_NE(std::string(e.what()).find("older schema (" + std::to_string(version) + ")"),
                      std::string::npos)
                << e.what();
        }
        { THistoryStore writer(file, THistoryStore::TMode::Write); }
        EXPECT_EQ(Sqlite(file, "PRAGMA user_version"),
                  std::to_string(THistoryStore::SchemaVersion));
        EXPECT_EQ(Sqlite(file, "select count(*) from kill; select count(*) from deadlock;"
                               " select count(*) from deadlock_lock;"
                               " select count(*) from episode_frame"),
                  "0\n0\n0\n0");
        // The episode is kept, and what the causes group by is worked out for it.
        EXPECT_EQ(Sqlite(file, "select server, end_ms - start_ms, head_fingerprint, wait_object"
                               " from episode"),
                  "PROD|4000|update t set a = ? where id = ?|database 5, hobt 72057594043301888")
            << version;
        THistoryStore reader(file, THistoryStore::TMode::Read);
        ASSERT_EQ(reader.Episodes({}).size(), 1u);
        EXPECT_EQ(reader.Causes({}, TCauseKind::Statement).size(), 1u);
        EXPECT_TRUE(reader.Frames(7).Frames.empty());
    }
}

TEST_F(HistoryStoreTest, WritesAnEpisodeAndExtendsItInPlace) {
    THistoryStore store(File, THistoryStore::TMode::Write);
    TEpisode first = MakeEpisode("PROD", 1000, 4000, 1, TEpisodeEnd::Open);
    std::int64_t id = 0;
    store.Transaction([&] { id = store.SaveEpisode(0, first, nullptr); });
    ASSERT_GT(id, 0);

    TEpisode later = MakeEpisode("PROD", 1000, 9000, 3, TEpisodeEnd::Ended);
    later.Sessions[0].LongestWait = 8000; // changed
    later.Sessions[0].WaitResource = "PAGE: 5:1:9001";
    store.Transaction([&] {
        EXPECT_EQ(store.SaveEpisode(id, later, &first), id);
        store.SaveStatement(id, "UPDATE dbo.Salaries\r\nSET x = N'ü'");
    });

    THistoryStore reader(File, THistoryStore::TMode::Read);
    const auto episodes = reader.Episodes({});
    ASSERT_EQ(episodes.size(), 1u);
    const TEpisode& e = episodes[0].Episode;
    EXPECT_EQ(e.End, 9000);
    EXPECT_EQ(e.EndKind, TEpisodeEnd::Ended);
    EXPECT_EQ(e.PeakBlocked, 3);
    EXPECT_EQ(e.Head, first.Head);
    EXPECT_EQ(e.HeadOpenTran, 1);
    EXPECT_EQ(episodes[0].Statement, "UPDATE dbo.Salaries\r\nSET x = N'ü'");
    const auto sessions = reader.Sessions(id);
    ASSERT_EQ(sessions.size(), 3u) << "two appended";
    EXPECT_EQ(sessions[0].LongestWait, 8000);
    EXPECT_EQ(sessions[0].WaitResource, "PAGE: 5:1:9001");
    EXPECT_EQ(sessions[2].Key, later.Sessions[2].Key);
    EXPECT_EQ(sessions[2].BlockedBy, 61);
    EXPECT_EQ(sessions[1].Key.ProgramName, "Shop ü");
}

TEST_F(HistoryStoreTest, FiltersNewestFirstByServerTimeAndDuration) {
    THistoryStore store(File, THistoryStore::TMode::Write);
    store.Transaction([&] {
        store.SaveEpisode(0, MakeEpisode("A", 1000, 2000), nullptr);   // 1 s
        store.SaveEpisode(0, MakeEpisode("B", 5000, 65000), nullptr);  // 60 s
        store.SaveEpisode(0, MakeEpisode("A", 10000, 14000), nullptr); // 4 s
        store.SaveEpisode(0, MakeEpisode("A", 70000, 80000, 1, TEpisodeEnd::Open), nullptr);
    });
    auto starts = [&](const THistoryFilter& filter) {
        std::string text;
        for (const TStoredEpisode& e : store.Episodes(filter))
            text += (text.empty() ? "" : " ") + e.Episode.Server +
                    std::to_string(e.Episode.Start / 1000);
        return text;
    };
    struct {
        const char* Name;
        THistoryFilter Filter;
        const char* Expected;
    } cases[] = {
        {"everything, newest first", {}, "A70 A10 B5 A1"},
        {"one server", {"B"}, "B5"},
        {"overlapping a time range", {"", 12000, 66000}, "A10 B5"},
        {"a range inside one long episode", {"", 30000, 31000}, "B5"},
        {"minimum duration", {"", 0, INT64_MAX, 4000}, "A70 A10 B5"},
        {"limit", {"", 0, INT64_MAX, 0, 2}, "A70 A10"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(starts(c.Filter), c.Expected);
    }
    const std::vector<std::string> servers = {"A", "B"};
    EXPECT_EQ(store.Servers(), servers);
}

TEST_F(HistoryStoreTest, ReopeningClosesEpisodesAnEarlierRunLeftOpen) {
    {
        THistoryStore store(File, THistoryStore::TMode::Write);
        store.Transaction([&] {
            store.SaveEpisode(0, MakeEpisode("A", 1000, 2000, 1, TEpisodeEnd::Open), nullptr);
            store.SaveEpisode(0, MakeEpisode("A", 3000, 4000, 1, TEpisodeEnd::Ended), nullptr);
        });
    }
    THistoryStore again(File, THistoryStore::TMode::Write);
    const auto episodes = again.Episodes({});
    ASSERT_EQ(episodes.size(), 2u);
    EXPECT_EQ(episodes[0].Episode.EndKind, TEpisodeEnd::Ended);
    EXPECT_EQ(episodes[1].Episode.EndKind, TEpisodeEnd::Unknown);
    EXPECT_EQ(episodes[1].Episode.End, 2000) << "the end it had";
}

TEST_F(HistoryStoreTest, DeletesEpisodesThatEndedBeforeTheCutoffWithTheirSessions) {
    THistoryStore store(File, THistoryStore::TMode::Write);
    store.Transaction([&] {
        store.SaveEpisode(0, MakeEpisode("A", 1000, 2000, 2), nullptr);
        store.SaveEpisode(0, MakeEpisode("A", 1500, 2500, 2, TEpisodeEnd::Unknown), nullptr);
        store.SaveEpisode(0, MakeEpisode("A", 1000, 2000, 2, TEpisodeEnd::Open), nullptr);
        store.SaveEpisode(0, MakeEpisode("A", 5000, 6000, 2), nullptr);
    });
    EXPECT_EQ(store.DeleteEndedBefore(5000), 2);
    store.Shrink();
    const auto left = store.Episodes({});
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].Episode.Start, 5000);
    EXPECT_EQ(left[1].Episode.EndKind, TEpisodeEnd::Open) << "an open episode stays";
    EXPECT_EQ(Sqlite(File, "select count(*) from blocked_session"), "4");
}

TEST_F(HistoryStoreTest, KeepsKillsAsTheyWereAndReadsThemNewestFirst) {
    THistoryStore store(File, THistoryStore::TMode::Write);
    TKillRecord refused = MakeKill("PROD", 2000, 52);
    refused.Outcome = "User does not have permission to use the KILL statement.";
    refused.Statement.reset(); // not read
    // Whatever the server sent comes back as it was: quotes, control characters, any script.
    TKillRecord odd = MakeKill("QA 'x'", 3000, 60);
    odd.Login = "o'brien\x1b[2J";
    odd.Program = "Shop \u00fc\u202e";
    odd.Statement = "SELECT '; DROP TABLE kill; --'";
    const TKillRecord first = MakeKill("PROD", 1000);
    store.Transaction([&] {
        store.SaveKill(first);
        store.SaveKill(refused);
        store.SaveKill(odd);
    });

    EXPECT_EQ(store.Kills({}), (std::vector<TKillRecord>{odd, refused, first}));
    THistoryFilter prod;
    prod.Server = "PROD";
    prod.From = 1500;
    EXPECT_EQ(store.Kills(prod), std::vector<TKillRecord>{refused});
    THistoryFilter newest;
    newest.Limit = 1;
    EXPECT_EQ(store.Kills(newest), std::vector<TKillRecord>{odd});

    // Retention takes old kills with the old episodes.
    EXPECT_EQ(store.DeleteEndedBefore(2500), 2);
    EXPECT_EQ(store.Kills({}), std::vector<TKillRecord>{odd});
}

TEST_F(HistoryStoreTest, RefusesFilesItCannotOrMustNotWrite) {
    WriteText(Folder.File("plain.txt"), "not a database at all, just text...........");
    ASSERT_EQ(Sqlite(Folder.File("other.sqlite"), "create table t (a)"), "");
    ASSERT_EQ(Sqlite(Folder.File("newer.sqlite"), "PRAGMA user_version=99"), "");
    struct {
        const char* Name;
        std::string File;
        THistoryStore::TMode Mode;
        const char* Message;
    } cases[] = {
        {"a folder that is a file", "/dev/null/history.sqlite", THistoryStore::TMode::Write,
         "Cannot create the history file \"/dev/null/history.sqlite\": Not a directory."},
        {"a file of a newer version", Folder.File("newer.sqlite"), THistoryStore::TMode::Write,
         "was written by a newer version of the program (schema 99)"},
        {"another program's database", Folder.File("other.sqlite"), THistoryStore::TMode::Write,
         "is not a blocking history file"},
        {"a file that is no database", Folder.File("plain.txt"), THistoryStore::TMode::Write,
         "plain.txt"},
        {"nothing recorded yet", Folder.File("missing.sqlite"), THistoryStore::TMode::Read,
         "No blocking history has been recorded yet"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        try {
            THistoryStore store(c.File, c.Mode);
            ADD_FAILURE() << "opened";
        } catch (const THistoryError& e) {
            EXPECT_NE(std::string(e.what()).find(c.Message), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(Sqlite(Folder.File("newer.sqlite"), "PRAGMA user_version"), "99") << "untouched";
    EXPECT_EQ(Sqlite(Folder.File("other.sqlite"), "select count(*) from sqlite_schema"), "1");
    EXPECT_EQ(QSqlDatabase::connectionNames().size(), 0) << "no connection left behind";
}

} // namespace
