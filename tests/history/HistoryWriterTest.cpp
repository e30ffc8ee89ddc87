#include "HistoryWriter.h"

#include "HistoryStore.h"
#include "HistoryTestSupport.h"
#include "TempFolder.h"

#include <QCoreApplication>
#include <QStringList>
#include <atomic>
#include <gtest/gtest.h>

namespace {

constexpr std::int64_t Day = THistoryWriter::Day;

class HistoryWriterTest : public ::testing::Test {
protected:
    TTempFolder Folder;
    std::string File = Folder.File("h.sqlite");
    std::atomic<std::int64_t> Now{100 * Day + 12 * 3600 * 1000}; // noon UTC
    QObject Receiver; // on this thread: the writer's signals arrive queued, as in the window
    QStringList Failures;

    std::unique_ptr<THistoryWriter> Start(const std::string& file, int retentionDays = 14) {
        auto writer =
            std::make_unique<THistoryWriter>(file, retentionDays, [this] { return Now.load(); });
        QObject::connect(writer.get(), &THistoryWriter::Failed, &Receiver,
                         [this](const QString& message) { Failures << message; });
        writer->Start();
        return writer;
    }
    // Lets the queued Failed signals arrive: they were sent before Flush returned.
    static void Deliver() { QCoreApplication::sendPostedEvents(); }

    std::vector<TStoredEpisode> Stored() {
        THistoryStore reader(File, THistoryStore::TMode::Read);
        return reader.Episodes({});
    }
};

THistoryWrite Write(std::uint64_t key, const TEpisode& episode) {
    return {key, episode, {}, {}};
}

TEST_F(HistoryWriterTest, WritesOneRowPerEpisodeAsItGoesOnAndItsStatementOnce) {
    auto writer = Start(File);
    const std::int64_t t = Now;
    TEpisode e = MakeEpisode("PROD", t - 3000, t, 1, TEpisodeEnd::Open);
    writer->Submit({Write(1, e)});
    writer->Submit({{1, std::nullopt, std::string("BEGIN TRAN\r\nUPDATE x"), {}}});
    e.End = t + 1000;
    e.Sessions.push_back(MakeEpisode("PROD", t, t + 500, 2).Sessions[1]);
    writer->Submit({Write(1, e), Write(2, MakeEpisode("QA", t, t + 4000))});
    e.EndKind = TEpisodeEnd::Ended;
    writer->Submit({Write(1, e)});
    // A statement that comes after its episode ended has nowhere to go.
    writer->Submit({{1, std::nullopt, std::string("late"), {}}});
    ASSERT_TRUE(writer->Flush());

    const auto stored = Stored();
    ASSERT_EQ(stored.size(), 2u);
    const TStoredEpisode& prod = stored[1];
    EXPECT_EQ(prod.Episode.Server, "PROD");
    EXPECT_EQ(prod.Episode.End, t + 1000);
    EXPECT_EQ(prod.Episode.EndKind, TEpisodeEnd::Ended);
    EXPECT_EQ(prod.Statement, "BEGIN TRAN\r\nUPDATE x");
    THistoryStore reader(File, THistoryStore::TMode::Read);
    EXPECT_EQ(reader.Sessions(static_cast<std::int64_t>(prod.Episode.Id)).size(), 2u);
    EXPECT_FALSE(stored[0].Statement.has_value());
    Deliver();
    EXPECT_TRUE(Failures.isEmpty()) << Failures.join("\n").toStdString();
}

TEST_F(HistoryWriterTest, AFolderThatCannotHoldTheFileGivesOneErrorAndTheWritesWait) {
    const std::string missing = Folder.File("later/h.sqlite");
    auto writer = Start(missing);
    for (int i = 1; i <= 5; ++i) {
        writer->Submit(
            {Write(static_cast<std::uint64_t>(i), MakeEpisode("A", Now + i, Now + i + 4000))});
        ASSERT_TRUE(writer->Flush());
    }
    Deliver();
    ASSERT_EQ(Failures.size(), 1);
    EXPECT_TRUE(Failures[0].startsWith("Blocking history is not being recorded. Cannot create "
                                       "the history file \"" +
                                       QString::fromStdString(missing) + "\""))
        << Failures[0].toStdString();

    // The folder appears: the next attempt writes everything that waited.
    std::filesystem::create_directory(Folder.Path / "later");
    Now += 6000;
    writer->Submit({Write(6, MakeEpisode("A", Now, Now + 4000))});
    ASSERT_TRUE(writer->Flush());
    THistoryStore reader(missing, THistoryStore::TMode::Read);
    EXPECT_EQ(reader.Episodes({}).size(), 6u);
    Deliver();
    EXPECT_EQ(Failures.size(), 1);
}

TEST_F(HistoryWriterTest, AFullDiskGivesOneErrorAndNothingCommittedIsLost) {
    auto writer = Start(File);
    const std::int64_t t = Now;
    writer->Submit({Write(1, MakeEpisode("A", t, t + 5000, 3))});
    ASSERT_TRUE(writer->Flush());
    {
        // Every file may grow by a few pages at most: the WAL fills up soon.
        TFileSizeLimit full(std::filesystem::file_size(File) + 8192);
        for (std::uint64_t key = 2; key < 40; ++key) {
            writer->Submit({Write(key, MakeEpisode("A", t, t + 5000 + 100 * key, 50))});
            ASSERT_TRUE(writer->Flush());
        }
        Deliver();
        ASSERT_EQ(Failures.size(), 1) << Failures.join("\n").toStdString();
        EXPECT_TRUE(Failures[0].contains(QString::fromStdString(File)));
    }
    EXPECT_EQ(Stored().size(), 1u) << "the committed one";
    Now += 6000;
    writer->Submit({Write(40, MakeEpisode("A", t, t + 9000))});
    ASSERT_TRUE(writer->Flush());
    EXPECT_EQ(Stored().size(), 40u) << "what waited is written once the disk has room";
    Deliver();
    EXPECT_EQ(Failures.size(), 1);
}

TEST_F(HistoryWriterTest, KillsWaitForAFileThatCannotBeWrittenYetAndAreWrittenOnce) {
    const std::string missing = Folder.File("later/h.sqlite");
    auto writer = Start(missing);
    writer->SubmitKill(MakeKill("A", Now, 51));
    writer->Submit({Write(1, MakeEpisode("A", Now - 4000, Now))});
    ASSERT_TRUE(writer->Flush());
    Deliver();
    EXPECT_EQ(Failures.size(), 1);

    std::filesystem::create_directory(Folder.Path / "later");
    Now += 6000;
    writer->SubmitKill(MakeKill("A", Now, 52));
    ASSERT_TRUE(writer->Flush());
    writer->SubmitKill(MakeKill("A", Now + 1, 53));
    ASSERT_TRUE(writer->Flush());
    THistoryStore reader(missing, THistoryStore::TMode::Read);
    std::string spids;
    for (const TKillRecord& k : reader.Kills({}))
        spids += std::to_string(k.Spid) + " ";
    EXPECT_EQ(spids, "53 52 51 ") << "each once, none lost while the folder was missing";
    EXPECT_EQ(reader.Episodes({}).size(), 1u);
    Deliver();
    EXPECT_EQ(Failures.size(), 1);
}

TEST_F(HistoryWriterTest, RetentionDropsWholeDaysOnceADay) {
    const std::int64_t today = Now / Day * Day;
    {
        THistoryStore store(File, THistoryStore::TMode::Write);
        store.Transaction([&] {
            // Ends 15 days ago, last second of the day before the kept period.
            store.SaveEpisode(0, MakeEpisode("A", today - 14 * Day - 5000, today - 14 * Day - 1),
                              nullptr);
            // First second of the oldest kept day.
            store.SaveEpisode(0, MakeEpisode("A", today - 14 * Day, today - 14 * Day + 1000),
                              nullptr);
            store.SaveEpisode(0, MakeEpisode("A", today + 1000, today + 2000), nullptr);
        });
    }
    auto writer = Start(File, 14);
    writer->Submit({Write(1, MakeEpisode("A", Now - 4000, Now, 1, TEpisodeEnd::Open))});
    ASSERT_TRUE(writer->Flush());
    EXPECT_EQ(Stored().size(), 3u);

    // A day later the next day drops out (the open episode stays, whatever its age).
    Now += Day;
    writer->SetRetentionDays(14);
    writer->Submit({Write(1, MakeEpisode("A", Now - Day - 4000, Now, 1, TEpisodeEnd::Open))});
    ASSERT_TRUE(writer->Flush());
    std::string starts;
    for (const TStoredEpisode& e : Stored())
        starts += std::to_string((e.Episode.Start - today) / 1000) + " ";
    EXPECT_EQ(starts, "43196 1 ") << "the first second of the oldest kept day went";
    Deliver();
    EXPECT_TRUE(Failures.isEmpty());
}

} // namespace
