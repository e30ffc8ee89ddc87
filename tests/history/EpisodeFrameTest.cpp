// Frames as stored: what goes in comes out, and damaged bytes are refused, never read past.
#include "EpisodeFrame.h"

#include "CauseKeys.h"
#include "FrameSnapshot.h"
#include "ProcessList.h"

#include <gtest/gtest.h>

namespace {

TEpisodeFrame SampleFrame() {
    TEpisodeFrame frame;
    frame.At = 1'765'000'000'123;
    frame.HeadStatus = "sleeping";
    frame.HeadOpenTran = 1;
    frame.Sessions = {
        {0, 52, 51, 6500, "LCK_M_U", "KEY: 5:72057594043301888 (8194443284a0)"},
        {1, 53, 52, 500, "LCK_M_S", "KEY: 5:72057594043301888 (8194443284a0)"},
        {2, 54, 51, -3, "LCK_M_IX", "TAB: 5:1977058079:0"},
        {3, -2, -2, 2'000'000'000, "", "\xff\x00 odd"},
    };
    return frame;
}

} // namespace

TEST(EpisodeFrame, WhatIsWrittenIsReadBackAndRepeatedStringsAreKeptOnce) {
    const TEpisodeFrame frame = SampleFrame();
    const std::string bytes = FrameBytes(frame);
    TEpisodeFrame read;
    read.At = frame.At;
    read.HeadStatus = frame.HeadStatus;
    read.HeadOpenTran = frame.HeadOpenTran;
    ASSERT_TRUE(ReadFrameBytes(bytes, read));
    EXPECT_EQ(read, frame);
    EXPECT_EQ(frame.TotalWait(), 6500 + 500 + 2'000'000'000); // a negative wait adds nothing
    EXPECT_EQ(frame.LongestWait(), 2'000'000'000);
    // The shared key resource appears once in the bytes.
    const std::string resource = "KEY: 5:72057594043301888 (8194443284a0)";
    EXPECT_EQ(bytes.find(resource), bytes.rfind(resource));

    // 200 sessions on one resource, as a long chain gives: a few bytes each.
    TEpisodeFrame big;
    for (int i = 0; i < 200; ++i)
        big.Sessions.push_back({i, 100 + i, 99 + i, 12000 + i * 37, "LCK_M_X", resource});
    EXPECT_LT(FrameBytes(big).size(), 200u * 12);
}

TEST(EpisodeFrame, DamagedBytesAreRefusedWhereverTheyAreCut) {
    const std::string bytes = FrameBytes(SampleFrame());
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        TEpisodeFrame read;
        EXPECT_FALSE(ReadFrameBytes(std::string_view(bytes).substr(0, length), read)) << length;
        EXPECT_TRUE(read.Sessions.empty());
    }
    const std::vector<std::string> hostile = {
        std::string("\x02\x00\x00", 3),                         // a format we do not know
        std::string("\x01\xff\xff\xff\xff\x0f", 6),             // four billion strings announced
        std::string("\x01\x01\xff\xff\xff\x7f", 6),             // a string longer than the blob
        std::string("\x01\x00\x01\x00\x00\x00\x00\x05\x05", 9), // indexes beyond the strings
        bytes + "x",                                            // trailing garbage
    };
    for (const std::string& h : hostile) {
        TEpisodeFrame read;
        EXPECT_FALSE(ReadFrameBytes(h, read)) << h.size();
    }
}

TEST(EpisodeFrame, AFrameBecomesTheSameTreeAsTheLiveView) {
    TEpisode episode;
    episode.Head = {51, "payroll", "APP-SRV-01", "Payroll Service"};
    episode.HeadDBName = "Sales";
    const std::vector<TEpisodeSession> sessions = {
        {{52, "webuser", "WEB-02", "Payroll Web"}, "Sales", "", "", 51, 0, 0},
        {{53, "reports", "BI-01", "Report Builder"}, "Sales", "", "", 52, 0, 0},
    };
    TEpisodeFrame frame;
    frame.HeadStatus = "sleeping";
    frame.HeadOpenTran = 1;
    frame.Sessions = {{0, 52, 51, 6500, "LCK_M_U", "KEY: 5:1"},
                      {1, 53, 52, 500, "LCK_M_S", "KEY: 5:1"},
                      {7, 99, 51, 10, "LCK_M_S", ""}}; // an ordinal beyond the sessions: no names
    TProcessList list;
    FillFromFrame(list, episode, sessions, frame);
    ASSERT_EQ(list.Count(), 1);
    const TProcessItem& head = *list.Item(0);
    EXPECT_EQ(head.Spid, 51);
    EXPECT_EQ(head.LoginName, "payroll");
    EXPECT_EQ(head.OpenTran, 1);
    ASSERT_EQ(head.ChildCount(), 2);
    const TProcessItem& s52 = head.Child(0)->Spid == 52 ? *head.Child(0) : *head.Child(1);
    ASSERT_EQ(s52.ChildCount(), 1);
    EXPECT_EQ(s52.Child(0)->Spid, 53);
    EXPECT_EQ(s52.Child(0)->LoginName, "reports");
    EXPECT_EQ(s52.Child(0)->WaitTime, 500);
}

TEST(CauseKeys, StatementsDifferingOnlyInValuesShareAFingerprint) {
    const struct {
        const char* Statement;
        const char* Fingerprint;
    } cases[] = {
        {"UPDATE dbo.Salaries SET Bonus = 500 WHERE EmployeeId = 1017",
         "update dbo.salaries set bonus = ? where employeeid = ?"},
        {"update  dbo.Salaries\r\n SET Bonus=12.5e3 WHERE EmployeeId = 0x1F",
         "update dbo.salaries set bonus=? where employeeid = ?"},
        {"SELECT * FROM t WHERE name = N'O''Brien' AND id IN (1, 2,3 , 4)",
         "select * from t where name = ? and id in (?)"},
        {"select * from t where id in ('a','b') -- trailing note\n and x = 1 /* c 2 */",
         "select * from t where id in (?) and x = ?"},
        {"SELECT [Col 1], \"T2\".x FROM [Sales 2024]",
         "select [col 1], \"t2\".x from [sales 2024]"},
        {"EXEC dbo.Proc @p1 = 'unterminated", "exec dbo.proc @p1 = ?"},
        {"select count(*) from t1", "select count(*) from t1"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StatementFingerprint(c.Statement), c.Fingerprint) << c.Statement;
}

TEST(CauseKeys, A64KiBStatementWithoutBoundariesIsCutNotChoked) {
    const std::vector<std::string> statements = {std::string(64 * 1024, 'a'),
                                                 std::string(64 * 1024, '7'),
                                                 "select '" + std::string(64 * 1024, 'x'),
                                                 std::string(64 * 1024, '['),
                                                 std::string(64 * 1024, '('),
                                                 "/*" + std::string(64 * 1024, '*')};
    for (const std::string& s : statements) {
        const std::string fingerprint = StatementFingerprint(s);
        EXPECT_LE(fingerprint.size(), MaxFingerprint) << s.substr(0, 10);
    }
    EXPECT_EQ(StatementFingerprint(std::string(64 * 1024, '7')), "?");
}

TEST(CauseKeys, TheWaitObjectNamesTheTableByIds) {
    const struct {
        const char* Resource;
        const char* Object;
    } cases[] = {
        {"KEY: 5:72057594043301888 (8194443284a0)", "database 5, hobt 72057594043301888"},
        {"TAB: 5:1977058079:0", "database 5, object 1977058079"},
        {"OBJECT: 7:245575913:0 ", "database 7, object 245575913"},
        {"PAGE: 7:1:4410", "database 7, PAGE"},
        {"RID: 6:1:3120:4", "database 6, RID"},
        {"", ""},
        {"something else", "something else"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WaitObject(c.Resource), c.Object) << c.Resource;
}
