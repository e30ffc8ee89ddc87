#include "EpisodeDetector.h"

#include "ProcessList.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// One row of a snapshot; the session's login, host and program default to one per SPID.
struct TSRow {
    std::int32_t Spid = 0;
    std::int32_t Blocked = 0;
    std::int32_t WaitTime = 0;
    std::string Login = "";
};

void Fill(TProcessList& list, const std::vector<TSRow>& rows) {
    list.Clear();
    for (const TSRow& r : rows) {
        TProcessItem* item = list.Add();
        item->Spid = r.Spid;
        item->Blocked = r.Blocked;
        item->WaitTime = r.WaitTime;
        item->LoginName = r.Login.empty() ? "user" + std::to_string(r.Spid) : r.Login;
        item->HostName = "host" + std::to_string(r.Spid);
        item->ProgramName = "app";
        item->DBName = "Sales";
        item->Status = r.Blocked != 0 ? "suspended" : "sleeping";
        item->OpenTran = r.Blocked != 0 ? 0 : 1;
        item->LastWaitType = r.Blocked != 0 ? "LCK_M_X" : "";
        item->WaitResource = r.Blocked != 0 ? "KEY: 5:72057594038321152 (8194443284a0)" : "";
    }
    list.BuildBlockTree();
}

const char* KindName(TEpisodeEventKind kind) {
    switch (kind) {
    case TEpisodeEventKind::Started:
        return "start";
    case TEpisodeEventKind::Updated:
        return "update";
    case TEpisodeEventKind::Ended:
        return "end";
    }
    return "?";
}

// "start #1 head 10 [11<10 12<10]": kind, episode number, head SPID, sessions with their
// direct blocker; an Unknown end is "lost".
std::string Describe(const std::vector<TEpisodeEvent>& events) {
    std::string text;
    for (const TEpisodeEvent& e : events) {
        if (!text.empty())
            text += "; ";
        const bool lost = e.Episode.EndKind == TEpisodeEnd::Unknown;
        text += lost ? "lost" : KindName(e.Kind);
        text += " #" + std::to_string(e.Episode.Id) + " head " +
                std::to_string(e.Episode.Head.Spid) + " [";
        for (std::size_t s = 0; s < e.Episode.Sessions.size(); ++s) {
            const TEpisodeSession& session = e.Episode.Sessions[s];
            text += (s > 0 ? " " : "") + std::to_string(session.Key.Spid) + "<" +
                    std::to_string(session.BlockedBy);
        }
        text += "]";
    }
    return text;
}

class EpisodeDetectorTest : public ::testing::Test {
protected:
    std::int64_t Now = 1'700'000'000'000;
    TEpisodeDetector Detector{"PROD", [this] { return Now; }};
    TProcessList List;

    std::vector<TEpisodeEvent> See(const std::vector<TSRow>& rows, std::int32_t threshold = 3000) {
        Fill(List, rows);
        return Detector.Observe(List, threshold);
    }
};

struct TSnapshotCase {
    const char* Name;
    std::vector<TSRow> Rows;
    std::int32_t Threshold;
    std::string Expected;
};

TEST_F(EpisodeDetectorTest, FindsHeadBlockersWhoseBlockedSessionsReachedTheThreshold) {
    const std::vector<TSnapshotCase> cases = {
        {"nothing blocked", {{1, 0}, {2, 0}}, 3000, ""},
        {"fan below the threshold", {{10, 0}, {11, 10, 2999}, {12, 10, 100}}, 3000, ""},
        {"fan at the threshold",
         {{10, 0}, {11, 10, 3000}, {12, 10, 100}},
         3000,
         // in the process view's order: a blocker's longest wait first
         "start #1 head 10 [12<10 11<10]"},
        {"only the end of a chain waited long: the head is the top",
         {{20, 0}, {21, 20, 500}, {22, 21, 4000}},
         3000,
         "start #1 head 20 [21<20 22<21]"},
        {"two heads, by SPID",
         {{30, 0}, {31, 30, 9000}, {8, 0}, {9, 8, 5000}},
         3000,
         "start #1 head 8 [9<8]; start #2 head 30 [31<30]"},
        {"a process blocked by itself blocks nobody", {{40, 40, 9000}}, 3000, ""},
        {"threads of a parallel query waiting on their own SPID are not blocked sessions",
         {{60, 0}, {60, 60, 9000}, {70, 60, 3500}},
         3000,
         "start #1 head 60 [70<60]"},
        {"threads of a blocked query: one session with its longest wait",
         {{60, 0}, {70, 60, 1000}, {70, 60, 3500}},
         3000,
         "start #1 head 60 [70<60]"},
        {"blocked by a SPID missing from the snapshot still heads what it blocks",
         {{80, 99, 9000}, {81, 80, 3000}},
         3000,
         "start #1 head 80 [81<80]"},
        {"an orphaned transaction (negative blocked) heads what it blocks",
         {{90, -2, 0}, {91, 90, 3000}},
         3000,
         "start #1 head 90 [91<90]"},
        {"a deadlock cycle has no head", {{1, 2, 9000}, {2, 1, 9000}}, 3000, ""},
        {"a negative wait never reaches a threshold of 0", {{10, 0}, {11, 10, -5}}, 0, ""},
        {"threshold 0: any blocked session starts one",
         {{10, 0}, {11, 10, 0}},
         0,
         "start #1 head 10 [11<10]"},
    };
    for (const TSnapshotCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TEpisodeDetector detector("PROD", [this] { return Now; });
        Fill(List, c.Rows);
        EXPECT_EQ(Describe(detector.Observe(List, c.Threshold)), c.Expected);
    }
}

TEST_F(EpisodeDetectorTest, FollowsOneEpisodeFromStartToEnd) {
    const std::int64_t t0 = Now;
    EXPECT_EQ(Describe(See({{10, 0}, {11, 10, 1000}})), "");
    Now += 2000;
    auto events = See({{10, 0}, {11, 10, 3000}});
    ASSERT_EQ(Describe(events), "start #1 head 10 [11<10]");
    EXPECT_EQ(events[0].Episode.Start, t0 - 1000) << "the blocking began before it was seen";
    EXPECT_EQ(events[0].Episode.End, Now);
    EXPECT_EQ(events[0].Episode.Server, "PROD");
    EXPECT_EQ(events[0].Episode.Head.LoginName, "user10");
    EXPECT_EQ(events[0].Episode.HeadStatus, "sleeping");
    EXPECT_EQ(events[0].Episode.HeadOpenTran, 1);
    EXPECT_EQ(events[0].Episode.Sessions[0].LastWaitType, "LCK_M_X");

    // A second session joins behind the first, below the threshold: the episode goes on.
    Now += 1000;
    events = See({{10, 0}, {11, 10, 4000}, {12, 11, 200}});
    ASSERT_EQ(Describe(events), "update #1 head 10 [11<10 12<11]");
    EXPECT_EQ(events[0].Episode.PeakBlocked, 2);
    EXPECT_EQ(events[0].Episode.PeakWait, 4000);

    // 11 got its lock; 12 now waits on 10 directly, with a short wait.
    Now += 1000;
    events = See({{10, 0}, {11, 0}, {12, 10, 1200}});
    ASSERT_EQ(Describe(events), "update #1 head 10 [11<10 12<10]");
    EXPECT_EQ(events[0].Episode.PeakBlocked, 2) << "the peak stays";
    const std::int64_t lastSeen = Now;

    Now += 1000;
    events = See({{10, 0}, {11, 0}, {12, 0}});
    ASSERT_EQ(Describe(events), "end #1 head 10 [11<10 12<10]");
    const TEpisode& ended = events[0].Episode;
    EXPECT_EQ(ended.EndKind, TEpisodeEnd::Ended);
    EXPECT_EQ(ended.End, lastSeen) << "the end is the last refresh that saw blocking";
    EXPECT_EQ(ended.Duration(), 5000);
    EXPECT_EQ(ended.Sessions[0].LongestWait, 4000);
    EXPECT_EQ(ended.Sessions[1].LongestWait, 1200);
    EXPECT_EQ(ended.TotalBlockedWait, 4000 + 1200);
    EXPECT_TRUE(Detector.OpenEpisodes().empty());
    EXPECT_EQ(Describe(See({{10, 0}, {11, 0}})), "") << "an ended episode reports nothing more";
}

TEST_F(EpisodeDetectorTest, AddsUpEveryWaitOfASession) {
    ASSERT_EQ(Describe(See({{10, 0}, {11, 10, 4000}})), "start #1 head 10 [11<10]");
    See({{10, 0}, {11, 10, 5000}});         // the same wait, longer
    See({{10, 0}, {11, 10, 1000}});         // a new wait: 5000 is over
    See({{10, 0}, {11, 0}, {12, 10, 300}}); // 11 not blocked: 1000 is over
    const auto events = See({{10, 0}, {11, 10, 2000}, {12, 10, 400}});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Episode.Sessions[0].TotalWait, 5000 + 1000 + 2000);
    EXPECT_EQ(events[0].Episode.Sessions[0].LongestWait, 5000);
    EXPECT_EQ(events[0].Episode.TotalBlockedWait, 8000 + 400);
    EXPECT_EQ(events[0].Episode.PeakWait, 5000);
}

TEST_F(EpisodeDetectorTest, AReusedSpidIsANewSession) {
    ASSERT_EQ(Describe(See({{10, 0, 0, "alice"}, {11, 10, 5000}})), "start #1 head 10 [11<10]");
    Now += 1000;
    const auto events = See({{10, 0, 0, "bob"}, {11, 10, 6000}});
    ASSERT_EQ(Describe(events), "end #1 head 10 [11<10]; start #2 head 10 [11<10]");
    EXPECT_EQ(events[0].Episode.Head.LoginName, "alice");
    EXPECT_EQ(events[1].Episode.Head.LoginName, "bob");
    EXPECT_EQ(Detector.StartedCount(), 2u);
}

TEST_F(EpisodeDetectorTest, AServerThatStopsAnsweringEndsItsEpisodesAsUnknown) {
    See({{10, 0}, {11, 10, 5000}, {20, 0}, {21, 20, 3000}});
    const std::int64_t lastSeen = Now;
    Now += 10'000;
    const auto events = Detector.ServerLost();
    ASSERT_EQ(Describe(events), "lost #1 head 10 [11<10]; lost #2 head 20 [21<20]");
    EXPECT_EQ(events[0].Episode.End, lastSeen);
    EXPECT_TRUE(Detector.ServerLost().empty());
    // When the server is back, the same blocking is a new episode.
    EXPECT_EQ(Describe(See({{10, 0}, {11, 10, 15000}})), "start #3 head 10 [11<10]");
}

TEST_F(EpisodeDetectorTest, AHeadBlockerThatIsBlockedInTurnKeepsItsEpisode) {
    See({{10, 0}, {11, 10, 5000}});
    Now += 1000;
    // 5 now blocks 10, which still blocks 11: episode 1 goes on while 10 blocks someone, and
    // 5 heads a chain in which 11 has waited past the threshold.
    EXPECT_EQ(Describe(See({{5, 0}, {10, 5, 100}, {11, 10, 6000}})),
              "update #1 head 10 [11<10]; start #2 head 5 [10<5 11<10]");
    Now += 1000;
    EXPECT_EQ(Describe(See({{5, 0}, {10, 5, 1100}, {11, 0}})),
              "end #1 head 10 [11<10]; update #2 head 5 [10<5 11<10]");
}

TEST_F(EpisodeDetectorTest, StartIsNeverLaterThanAnyWaitSeen) {
    See({{10, 0}, {11, 10, 3000}});
    const std::int64_t firstSeen = Now;
    Now += 1000;
    // A session that had already waited longer (on another lock) joins the episode.
    const auto events = See({{10, 0}, {11, 10, 4000}, {12, 10, 20'000}});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Episode.Start, Now - 20'000);
    EXPECT_LT(events[0].Episode.Start, firstSeen - 3000);
    EXPECT_GE(events[0].Episode.Duration(), events[0].Episode.PeakWait);
}

} // namespace
