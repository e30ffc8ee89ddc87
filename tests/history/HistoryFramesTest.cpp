// Frames, causes, the timeline and lock waits in the history file, written by the writer thread
// as the recorder hands them over.
#include "HistoryStore.h"
#include "HistoryTestSupport.h"
#include "HistoryWriter.h"
#include "TempFolder.h"

#include <atomic>
#include <gtest/gtest.h>

namespace {

constexpr std::int64_t Day = THistoryWriter::Day;
// A Wednesday at 00:00 UTC, far enough from today that retention has nothing to do with it.
constexpr std::int64_t Monday = 1'765'152'000'000;

TEpisodeFrame Frame(std::int64_t at, std::vector<TFrameSession> sessions) {
    TEpisodeFrame f;
    f.At = at;
    f.HeadStatus = "sleeping";
    f.HeadOpenTran = 1;
    f.Sessions = std::move(sessions);
    return f;
}

class HistoryFramesTest : public ::testing::Test {
protected:
    TTempFolder Folder;
    std::string File = Folder.File("history.sqlite");
    std::atomic<std::int64_t> Now{Monday + 10 * Day};

    // Writes episodes (each with its frames) through a writer, in one batch per write.
    void Write(std::vector<THistoryWrite> writes) {
        THistoryWriter writer(File, 3650, [this] { return Now.load(); });
        writer.Start();
        for (THistoryWrite& w : writes)
            writer.Submit({std::move(w)});
        ASSERT_TRUE(writer.Flush());
    }
};

TEST_F(HistoryFramesTest, KeepsEveryFrameInTheOrderOfTheRefreshesWhateverTheClockDid) {
    TEpisode open = MakeEpisode("PROD", Monday + 1000, Monday + 4000, 1, TEpisodeEnd::Open);
    TEpisode ended = open;
    ended.EndKind = TEpisodeEnd::Ended;
    ended.End = Monday + 6000;
    const TFrameSession s52{0, 60, 51, 3000, "LCK_M_U", "KEY: 5:1 (aa)"};
    THistoryWriter writer(File, 3650, [this] { return Now.load(); });
    writer.Start();
    writer.Submit({{1, open, std::nullopt, {Frame(Monday + 4000, {s52})}}});
    // The clock was set back an hour between two refreshes: the frame still comes second.
    writer.Submit({{1, open, std::nullopt, {Frame(Monday - 3600'000, {s52, s52})}}});
    writer.Submit({{1, ended, std::nullopt, {Frame(Monday + 6000, {})}}});
    ASSERT_TRUE(writer.Flush());
    // After the end nothing more belongs to it.
    writer.Submit({{1, std::nullopt, std::nullopt, {Frame(Monday + 7000, {s52})}}});
    ASSERT_TRUE(writer.Flush());
    // A calm refresh hands over nothing and writes nothing.
    const std::uint64_t commits = writer.CommittedBatches();
    writer.Submit({});
    ASSERT_TRUE(writer.Flush());
    EXPECT_EQ(writer.CommittedBatches(), commits);

    THistoryStore reader(File, THistoryStore::TMode::Read);
    const std::vector<TStoredEpisode> episodes = reader.Episodes({});
    ASSERT_EQ(episodes.size(), 1u);
    const TFramesRead read = reader.Frames(static_cast<std::int64_t>(episodes[0].Episode.Id));
    EXPECT_EQ(read.Damaged, 0);
    ASSERT_EQ(read.Frames.size(), 3u);
    EXPECT_EQ(read.Frames[0].At, Monday + 4000);
    EXPECT_EQ(read.Frames[1].Blocked(), 2);
    EXPECT_EQ(read.Frames[1].At, Monday - 3600'000);
    EXPECT_EQ(read.Frames[2].Blocked(), 0);
    EXPECT_EQ(read.Frames[0].Sessions[0], s52);
}

TEST_F(HistoryFramesTest, AFrameTableCutShortByACrashGivesWhatCanBeRead) {
    TEpisode e = MakeEpisode("PROD", Monday, Monday + 9000, 1, TEpisodeEnd::Open);
    std::vector<TEpisodeFrame> frames;
    for (int i = 0; i < 6; ++i)
        frames.push_back(
            Frame(Monday + 4000 + i * 1000, {{0, 60, 51, 4000 + i * 1000, "LCK_M_U", "KEY: 5:1"}}));
    Write({{1, e, std::nullopt, frames}});
    // The last two never reached the disk, and the third lost its tail.
    ASSERT_EQ(Sqlite(File,
                     "delete from episode_frame where seq >= 4;"
                     " update episode_frame set sessions = substr(sessions, 1, 5) where seq = 2"),
              "");
    {
        // The next run closes the episode as unknown.
        THistoryStore writer(File, THistoryStore::TMode::Write);
    }
    THistoryStore reader(File, THistoryStore::TMode::Read);
    const std::vector<TStoredEpisode> episodes = reader.Episodes({});
    ASSERT_EQ(episodes.size(), 1u);
    EXPECT_EQ(episodes[0].Episode.EndKind, TEpisodeEnd::Unknown);
    const TFramesRead read = reader.Frames(static_cast<std::int64_t>(episodes[0].Episode.Id));
    EXPECT_EQ(read.Damaged, 1);
    ASSERT_EQ(read.Frames.size(), 3u);
    EXPECT_EQ(read.Frames[2].At, Monday + 7000);
    EXPECT_EQ(read.Frames[2].Sessions[0].Wait, 7000);
    // The timeline and the causes read the columns, the damaged blob is no matter to them.
    EXPECT_EQ(reader.Timeline({}).size(), 1u);
}

TEST_F(HistoryFramesTest, CausesRankByBlockedWaitAndAddingUpDaysChangesNothing) {
    std::vector<THistoryWrite> writes;
    std::uint64_t key = 1;
    const auto add = [&](std::int64_t start, std::int64_t wait, const std::string& login,
                         TEpisodeEnd kind = TEpisodeEnd::Ended) {
        TEpisode e = MakeEpisode("PROD", start, start + wait, 1, kind);
        e.Head.LoginName = login;
        e.TotalBlockedWait = wait * 2;
        e.Sessions[0].WaitResource =
            login == "stock" ? "RID: 6:1:3120:4" : e.Sessions[0].WaitResource;
        writes.push_back({key++, e, std::nullopt, {}});
    };
    for (int day = 0; day < 5; ++day) {
        add(Monday + day * Day + 3600'000, 26'000, "payroll");
        add(Monday + day * Day + 7200'000, 5'000, "hr_app");
        add(Monday + day * Day + 7300'000, 5'000, "hr_app");
        add(Monday + day * Day + 9000'000, 40'000, "stock");
    }
    Write(std::move(writes));

    THistoryFilter all;
    all.From = Monday + 1800'000; // half a day cut off at either end
    all.To = Monday + 4 * Day + 8000'000;
    const auto ranked = [&](THistoryStore& store, TCauseKind kind) {
        std::vector<std::string> lines;
        for (const TCause& c : store.Causes(all, kind))
            lines.push_back(c.Key.value_or("(null)") + " " + std::to_string(c.Episodes) + " " +
                            std::to_string(c.TotalWait) + " " + std::to_string(c.Longest) + " " +
                            std::to_string(c.LastSeen - Monday));
        return lines;
    };
    // The writer added up the past days as it started; begin from the episodes alone.
    ASSERT_EQ(Sqlite(File, "delete from cause_day; delete from cause_day_done"), "");
    THistoryStore store(File, THistoryStore::TMode::Write);
    // Still going on: its day is not added up until it ends.
    TEpisode open = MakeEpisode("PROD", Monday + 3 * Day + 10'000'000,
                                Monday + 3 * Day + 10'001'000, 1, TEpisodeEnd::Open);
    open.TotalBlockedWait = 2000;
    store.Transaction([&] { store.SaveEpisode(0, open, nullptr); });
    const std::vector<std::string> expected = {
        "payroll 6 262000 26000 " + std::to_string(4 * Day + 3600'000 + 26'000),
        "stock 4 320000 40000 " + std::to_string(3 * Day + 9040'000),
        "hr_app 10 100000 5000 " + std::to_string(4 * Day + 7305'000),
    };
    // payroll's open episode counts too; stock's fifth episode lies beyond the range.
    std::vector<std::string> before = ranked(store, TCauseKind::Login);
    std::sort(before.begin(), before.end());
    std::vector<std::string> sortedExpected = expected;
    std::sort(sortedExpected.begin(), sortedExpected.end());
    EXPECT_EQ(before, sortedExpected);
    const std::vector<std::string> objectsBefore = ranked(store, TCauseKind::Object);

    EXPECT_EQ(store.RollUpCauses(Now), 4) << "the day with an open episode waits";
    EXPECT_EQ(Sqlite(File, "select count(*) from cause_day_done"), "4");
    std::vector<std::string> after = ranked(store, TCauseKind::Login);
    std::sort(after.begin(), after.end());
    EXPECT_EQ(after, sortedExpected);
    EXPECT_EQ(ranked(store, TCauseKind::Object), objectsBefore);
    EXPECT_EQ(ranked(store, TCauseKind::Login).front().substr(0, 6), "stock ")
        << "ranked by total blocked wait";

    // A range with no episodes, and one that ends before it starts.
    THistoryFilter none;
    none.From = Monday - 30 * Day;
    none.To = Monday - 20 * Day;
    EXPECT_TRUE(store.Causes(none, TCauseKind::Login).empty());
    none.From = Monday + 2 * Day;
    none.To = Monday + Day;
    EXPECT_TRUE(store.Causes(none, TCauseKind::Login).empty());
    // A minimum duration reads the episodes themselves.
    THistoryFilter longOnes = all;
    longOnes.MinDuration = 30'000;
    const std::vector<TCause> stock = store.Causes(longOnes, TCauseKind::Host);
    ASSERT_EQ(stock.size(), 1u);
    EXPECT_EQ(stock[0].Episodes, 4);
    // Double click: the group's episodes, newest first.
    const std::vector<TStoredEpisode> listed =
        store.CauseEpisodes(all, TCauseKind::Login, std::string("hr_app"));
    ASSERT_EQ(listed.size(), 10u);
    EXPECT_GT(listed.front().Episode.Start, listed.back().Episode.Start);
    EXPECT_TRUE(store.CauseEpisodes(all, TCauseKind::Statement, std::nullopt).size() == 21u - 1u);
}

TEST_F(HistoryFramesTest, RetentionDeletesFramesLockWaitsAndAddedUpDaysWithTheirEpisodes) {
    TEpisode old = MakeEpisode("PROD", Monday, Monday + 5000);
    TEpisode recent = MakeEpisode("PROD", Monday + 5 * Day, Monday + 5 * Day + 5000);
    Write({{1, old, std::nullopt, {Frame(Monday + 4000, {{0, 60, 51, 4000, "LCK_M_U", ""}})}},
           {2, recent, std::nullopt, {Frame(Monday + 5 * Day + 4000, {})}}});
    {
        THistoryWriter writer(File, 3650, [this] { return Now.load(); });
        writer.Start();
        writer.SubmitLockWaits({"PROD", Monday + 60'000, Monday, 12, 3400});
        writer.SubmitLockWaits({"PROD", Monday + 5 * Day, Monday + 5 * Day - 60'000, 3, 100});
        ASSERT_TRUE(writer.Flush());
    }
    THistoryStore store(File, THistoryStore::TMode::Write);
    store.RollUpCauses(Now);
    THistoryFilter all;
    EXPECT_EQ(store.LockWaits(all).size(), 2u);
    store.DeleteEndedBefore(Monday + 3 * Day);
    EXPECT_EQ(Sqlite(File, "select count(*) from episode_frame; select count(*) from lock_wait;"
                           " select min(day_ms) - " +
                               std::to_string(Monday) +
                               " from cause_day; select count(*) from cause_day_done"),
              "1\n1\n" + std::to_string(5 * Day) + "\n1");
}

} // namespace
