#include "EpisodeCsv.h"

#include "HistoryTestSupport.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <limits>

namespace {

// Local time in a zone of the test's choosing, put back afterwards.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone) {
        if (const char* old = std::getenv("TZ"))
            Old = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ZoneScope() {
        if (Old.empty())
            ::unsetenv("TZ");
        else
            ::setenv("TZ", Old.c_str(), 1);
        ::tzset();
    }

private:
    std::string Old;
};

TEST(EpisodeCsv, FieldsAreQuotedAndFormulasDefused) {
    struct {
        const char* In;
        const char* Out;
    } cases[] = {
        {"", ""},
        {"APP-SRV-01", "APP-SRV-01"},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"BEGIN TRAN\r\nUPDATE t", "\"BEGIN TRAN\r\nUPDATE t\""},
        {"=HYPERLINK(\"http://x\")", "\"'=HYPERLINK(\"\"http://x\"\")\""},
        {"+1", "'+1"},
        {"-- comment", "'-- comment"},
        {"@here", "'@here"},
        {"Grüße, 世界", "\"Grüße, 世界\""},
        // Terminal escape sequences lose their control characters (ESC, CSI as C1, BEL, NUL).
        {"\x1b]0;owned\x07host\x1b[2J", "]0;ownedhost[2J"},
        {"a\xc2\x9b"
         "31mb\x7f",
         "a31mb"},
        {"\x1b=cmd|' /C calc'!A0", "'=cmd|' /C calc'!A0"},
        {"\tTAB", "'\tTAB"},
        {"\rCR", "\"'\rCR\""},
        {"\xc3\x84\xc2\xa0"
         "b",
         "\xc3\x84\xc2\xa0"
         "b"}, // U+00A0 is no control
    };
    for (const auto& c : cases)
        EXPECT_EQ(CsvText(c.In), c.Out) << c.In;
    EXPECT_EQ(CsvText(std::string("x\0\x01y", 4)), "xy");
}

// Damaged stored times: no overflow (the test runs under UBSan too), no made-up date.
TEST(EpisodeCsv, ExtremeTimesDoNotOverflow) {
    ZoneScope zone("UTC0");
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const std::string earliest = "-292275055-05-16T16:47:04.192+00:00";
    const std::string latest = "292278994-08-17T07:12:55.807+00:00";
    EXPECT_EQ(LocalTimeText(kMin), earliest);
    EXPECT_EQ(LocalTimeText(kMax), latest);
    EXPECT_EQ(LocalTimeText(-1001), "1969-12-31T23:59:58.999+00:00");
    TStoredEpisode damaged{MakeEpisode("S", 0, 1000, 1), std::nullopt};
    damaged.Episode.Start = kMin;
    damaged.Episode.End = kMax;
    EXPECT_EQ(damaged.Episode.Duration(), kMax);
    std::swap(damaged.Episode.Start, damaged.Episode.End);
    EXPECT_EQ(damaged.Episode.Duration(), kMin);
    const std::string csv =
        EpisodesCsv({damaged}, [&](std::int64_t) { return damaged.Episode.Sessions; });
    EXPECT_NE(csv.find("S," + latest + "," + earliest + "," + std::to_string(kMin) + ","),
              std::string::npos)
        << csv;
}

TEST(EpisodeCsv, LocalTimesCarryTheirOffset) {
    {
        ZoneScope zone("UTC0");
        EXPECT_EQ(LocalTimeText(0), "1970-01-01T00:00:00.000+00:00");
        EXPECT_EQ(LocalTimeText(-1), "1969-12-31T23:59:59.999+00:00");
    }
    {
        ZoneScope zone("CET-1CEST,M3.5.0,M10.5.0/3");
        EXPECT_EQ(LocalTimeText(1'781'058'765'120), "2026-06-10T04:32:45.120+02:00");
        EXPECT_EQ(LocalTimeText(1'796'873'565'007), "2026-12-10T04:32:45.007+01:00");
    }
    {
        ZoneScope zone("<-0330>3:30");
        EXPECT_EQ(LocalTimeText(0), "1969-12-31T20:30:00.000-03:30");
    }
}

TEST(EpisodeCsv, OneRowPerBlockedSessionWithItsEpisodesColumns) {
    ZoneScope zone("UTC0");
    TStoredEpisode first{MakeEpisode("PROD, main", 1000, 26000, 2), "UPDATE t\r\nSET a = 1"};
    first.Episode.Id = 7;
    TStoredEpisode second{MakeEpisode("QA", 2000, 5000, 1, TEpisodeEnd::Unknown), std::nullopt};
    second.Episode.Id = 9;
    const std::string csv = EpisodesCsv({first, second}, [&](std::int64_t id) {
        return id == 7 ? first.Episode.Sessions : second.Episode.Sessions;
    });
    const std::string expected =
        "server,start,end,duration_ms,ended_as,peak_wait_ms,peak_blocked,total_blocked_wait_ms,"
        "head_spid,head_login,head_host,head_program,head_database,head_status,head_open_tran,"
        "head_statement,spid,login,host,program,database,wait_type,wait_resource,"
        "longest_wait_ms,total_wait_ms,blocked_by\r\n"
        "\"PROD, main\",1970-01-01T00:00:01.000+00:00,1970-01-01T00:00:26.000+00:00,25000,ended,"
        "25000,2,49999,51,payroll,APP-SRV-01,Payroll Service,Sales,sleeping,1,"
        "\"UPDATE t\r\nSET a = 1\",60,web,WEB-00,Shop ü,Sales,LCK_M_U,"
        "KEY: 5:72057594043301888 (8194443284a0),25000,25000,51\r\n"
        "\"PROD, main\",1970-01-01T00:00:01.000+00:00,1970-01-01T00:00:26.000+00:00,25000,ended,"
        "25000,2,49999,51,payroll,APP-SRV-01,Payroll Service,Sales,sleeping,1,"
        "\"UPDATE t\r\nSET a = 1\",61,web,WEB-01,Shop ü,Sales,LCK_M_U,"
        "KEY: 5:72057594043301888 (8194443284a0),24999,24999,60\r\n"
        "QA,1970-01-01T00:00:02.000+00:00,1970-01-01T00:00:05.000+00:00,3000,unknown,3000,1,"
        "3000,51,payroll,APP-SRV-01,Payroll Service,Sales,sleeping,1,,60,web,WEB-00,Shop ü,"
        "Sales,LCK_M_U,KEY: 5:72057594043301888 (8194443284a0),3000,3000,51\r\n";
    EXPECT_EQ(csv, expected);
}

} // namespace
