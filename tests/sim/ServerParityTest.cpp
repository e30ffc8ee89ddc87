// tdssim where a real SQL Server answers a certain way, by the bytes of its replies: the
// encryption answer of a server that forces it, TDS 7.0 sessions, sp_executesql in a batch,
// KILL of a system session, compile errors, transactions, a DBA's names and ORDER BY, the
// types of sp_who and of the deadlock read.
#include "RawTdsClient.h"
#include "TdsReply.h"
#include "TdsSimProcess.h"

#include <algorithm>
#include <gtest/gtest.h>

using tallyvane::testsupport::RawMessage;
using tallyvane::testsupport::RawTdsClient;
using tallyvane::testsupport::readTdsReply;
using tallyvane::testsupport::ReplyColumn;
using tallyvane::testsupport::TdsReply;
using tallyvane::testsupport::TdsSimProcess;

namespace {

constexpr std::uint16_t kDoneError = 0x02;

TdsReply ask(RawTdsClient& client, const std::string& sql, std::uint32_t tds = 0x74000004) {
    client.sendBatch(sql, 4096, tds >= 0x72000000);
    return readTdsReply(client.readMessage().payload, tds);
}

std::vector<std::int64_t> column(const TdsReply& r, std::size_t set, std::size_t col) {
    std::vector<std::int64_t> out;
    for (const auto& row : r.resultSets.at(set).rows) {
        out.push_back(row.at(col).integer.value_or(-999999));
    }
    return out;
}

// A client's PRELOGIN: VERSION and ENCRYPTION with this byte.
std::string preloginAsking(char encryption) {
    std::string p;
    p += std::string("\x00\x00\x0B\x00\x06", 5); // VERSION at 11, 6 bytes
    p += std::string("\x01\x00\x11\x00\x01", 5); // ENCRYPTION at 17, 1 byte
    p += '\xFF';
    p += std::string("\x0C\x00\x00\x00\x00\x00", 6);
    p += encryption;
    return p;
}

char encryptionAnswer(const RawMessage& reply) {
    // The answer's table lists VERSION then ENCRYPTION; the byte sits at ENCRYPTION's offset.
    const std::size_t offset = (static_cast<std::uint8_t>(reply.payload.at(6)) << 8) |
                               static_cast<std::uint8_t>(reply.payload.at(7));
    return reply.payload.at(offset);
}

} // namespace

TEST(TdsSimParity, AServerForcingEncryptionRequiresItOrEndsTheConnection) {
    TdsSimProcess sim("demo", 1, std::chrono::seconds(10), {"--encryption", "on"});
    struct Case {
        char asked;
        char answer;
        bool closes;
    };
    // 0 off (login only) -> 3 required; 1 on -> 1; 2 not supported -> 3, then the end.
    const Case cases[] = {{'\x00', '\x03', false}, {'\x01', '\x01', false}, {'\x02', '\x03', true}};
    for (const Case& c : cases) {
        RawTdsClient client(sim.port());
        RawMessage reply = client.prelogin(preloginAsking(c.asked));
        EXPECT_EQ(encryptionAnswer(reply), c.answer) << int(c.asked);
        if (c.closes) {
            EXPECT_TRUE(client.closedByServer()) << int(c.asked);
        }
    }
}

TEST(TdsSimParity, ATds70SessionGetsACharacterSetAndBigintAsDecimal) {
    TdsSimProcess sim("demo");
    RawTdsClient client(sim.port());
    client.sendLogin7("sa", "Sim-Admin-1", 0x70000000);
    const TdsReply login = readTdsReply(client.readMessage().payload, 0x07000000);
    const auto collation = std::find_if(login.envChanges.begin(), login.envChanges.end(),
                                        [](const auto& e) { return e.type == 7; });
    ASSERT_NE(collation, login.envChanges.end()) << "the collation names the character set";
    EXPECT_EQ(collation->newValue, std::string("\x09\x04\xD0\x00\x34", 5));

    for (const char* sql : {"select waittime, physical_io from sysprocesses where spid = 51",
                            "select spid, blocked, d.name, waittime, lastwaittype, waitresource, "
                            "open_tran, p.status, hostname, program_name, cmd, loginame, cpu, "
                            "physical_io, memusage\r\nfrom master.dbo.sysprocesses p left outer "
                            "join master..sysdatabases d on d.dbid = p.dbid\r\norder by blocked, "
                            "waittime"}) {
        const TdsReply r = ask(client, sql, 0x07000000);
        ASSERT_EQ(r.resultSets.size(), 1u) << sql;
        for (const ReplyColumn& c : r.resultSets[0].columns) {
            if (c.name == "waittime" || c.name == "physical_io") {
                EXPECT_EQ(c.type, 0x6A) << c.name << ": DECIMALN";
                EXPECT_EQ(c.precision, 19) << c.name;
                EXPECT_EQ(c.scale, 0) << c.name;
            }
        }
        EXPECT_FALSE(r.resultSets[0].rows.empty());
    }
    // A value travels whole: sign byte and magnitude.
    const TdsReply r =
        ask(client, "select physical_io from sysprocesses where spid = 51", 0x07000000);
    ASSERT_EQ(r.resultSets.at(0).rows.size(), 1u);
    EXPECT_GE(r.resultSets[0].rows[0][0].integer.value_or(-1), 0);
}

TEST(TdsSimParity, SpExecuteSqlRunsInABatchWithItsParameters) {
    TdsSimProcess sim("demo");
    RawTdsClient client(sim.port());
    client.login("sa", "Sim-Admin-1");
    struct Case {
        const char* sql;
        std::vector<std::int64_t> values; // the first column of the first result set
        std::int32_t error;               // 0: none
    };
    const Case cases[] = {
        {"exec sp_executesql N'select 4711'", {4711}, 0},
        {"EXECUTE sys.sp_executesql @stmt = N'select spid from sysprocesses where spid = @s', "
         "@params = N'@s smallint', @s = 53",
         {53},
         0},
        {"exec sp_executesql N'select spid from sysprocesses where spid >= @a and spid <= @b "
         "order by spid desc', N'@a int, @b int', 51, 52",
         {52, 51},
         0},
        {"exec sp_executesql N'kill @p', N'@p int', @p = 999", {}, 6106},
        {"exec sp_executesql N'select nosuch from sysprocesses'", {}, 207},
    };
    for (const Case& c : cases) {
        const TdsReply r = ask(client, c.sql);
        if (c.error != 0) {
            EXPECT_EQ(r.errorNumbers(), std::vector<std::int32_t>{c.error}) << c.sql;
        } else {
            ASSERT_EQ(r.resultSets.size(), 1u) << c.sql;
            EXPECT_EQ(column(r, 0, 0), c.values) << c.sql;
            EXPECT_TRUE(r.errorNumbers().empty()) << c.sql;
        }
        // As any procedure run from a batch: its return status and DONEPROC end the reply.
        ASSERT_EQ(r.returnStatuses.size(), 1u) << c.sql;
        EXPECT_EQ(r.returnStatuses[0] == 0, c.error == 0) << c.sql;
        ASSERT_FALSE(r.dones.empty());
        EXPECT_EQ(r.dones.back().token, 0xFE) << c.sql;
    }
}

TEST(TdsSimParity, KillRefusesTheServersOwnSessions) {
    TdsSimProcess sim("demo");
    RawTdsClient client(sim.port());
    client.login("sa", "Sim-Admin-1");
    for (int spid : {1, 2, 3, 4}) {
        const TdsReply r = ask(client, "KILL " + std::to_string(spid));
        ASSERT_EQ(r.messages.size(), 1u) << spid;
        EXPECT_EQ(r.messages[0].number, 6107) << spid;
        EXPECT_EQ(r.messages[0].severity, 14);
        EXPECT_EQ(r.messages[0].text, "Only user processes can be killed.");
        const TdsReply still =
            ask(client, "select spid from sysprocesses where spid = " + std::to_string(spid));
        EXPECT_EQ(column(still, 0, 0), std::vector<std::int64_t>{spid}) << "still there";
    }
    EXPECT_EQ(ask(client, "KILL 40").errorNumbers(), std::vector<std::int32_t>{6106}) << "absent";
    EXPECT_TRUE(ask(client, "KILL 55").errorNumbers().empty()) << "a user session goes";
}

TEST(TdsSimParity, ACompileErrorStopsTheWholeBatchARunTimeErrorOnlyItsStatement) {
    TdsSimProcess sim("demo");
    RawTdsClient client(sim.port());
    client.login("sa", "Sim-Admin-1");
    struct Case {
        const char* batch;
        std::size_t resultSets;
        std::int32_t error;
    };
    const Case cases[] = {
        {"select 1\nselect nosuch from sysprocesses", 0, 207},
        {"select 1\nselect p.spid from sysprocesses s", 0, 4104},
        {"select 1; select spid from sysprocesses order by 9", 0, 108},
        {"select 1\nselect nosuch()", 0, 102},
        {"kill 999\nselect 1", 1, 6106}, // run time: the rest runs
    };
    for (const Case& c : cases) {
        const TdsReply r = ask(client, c.batch);
        EXPECT_EQ(r.resultSets.size(), c.resultSets) << c.batch;
        EXPECT_EQ(r.errorNumbers(), std::vector<std::int32_t>{c.error}) << c.batch;
        EXPECT_NE(r.dones.front().status & kDoneError, 0) << c.batch;
    }
}

TEST(TdsSimParity, ColumnPrefixesBindToTheTablesExposedName) {
    TdsSimProcess sim("demo");
    RawTdsClient client(sim.port());
    client.login("sa", "Sim-Admin-1");
    struct Case {
        const char* sql;
        std::int32_t error; // 0: rows
        const char* text;
    };
    const Case cases[] = {
        {"select p.spid from sysprocesses s", 4104,
         "The multi-part identifier \"p.spid\" could not be bound."},
        {"select sysprocesses.spid from master.dbo.sysprocesses AS p", 4104, nullptr},
        {"select spid from sysprocesses s where x.blocked = 0", 4104, nullptr},
        {"select spid from sysprocesses s order by q.spid", 4104, nullptr},
        {"select x.* from sysprocesses", 107,
         "The column prefix 'x' does not match with a table name or alias name used in the "
         "query."},
        {"select S.spid from sysprocesses s where s.spid = 51", 0, nullptr},
        {"select sysprocesses.spid from master.dbo.sysprocesses where spid = 51", 0, nullptr},
        {"select [p].[spid] from sys.sysprocesses [P] where spid = 51", 0, nullptr},
    };
    for (const Case& c : cases) {
        const TdsReply r = ask(client, c.sql);
        if (c.error == 0) {
            EXPECT_TRUE(r.errorNumbers().empty()) << c.sql;
            EXPECT_EQ(column(r, 0, 0), std::vector<std::int64_t>{51}) << c.sql;
            continue;
        }
        EXPECT_TRUE(r.resultSets.empty()) << c.sql;
        ASSERT_EQ(r.errorNumbers(), std::vector<std::int32_t>{c.error}) << c.sql;
        if (c.text) {
            EXPECT_EQ(r.messages[0].text, c.text);
        }
    }
}

TEST(TdsSimParity, TransactionsAnnounceTheirBeginningAndEnd) {
    TdsSimProcess sim("demo");
    RawTdsClient client(sim.port());
    client.login("sa", "Sim-Admin-1");
    auto types = [](const TdsReply& r) {
        std::vector<int> t;
        for (const auto& e : r.envChanges) {
            t.push_back(e.type);
        }
        return t;
    };
    auto trancount = [&] { return column(ask(client, "select @@trancount"), 0, 0).at(0); };

    const TdsReply begin = ask(client, "begin tran");
    ASSERT_EQ(types(begin), std::vector<int>{8});
    const std::string descriptor = begin.envChanges[0].newValue;
    EXPECT_EQ(descriptor.size(), 8u);
    EXPECT_EQ(trancount(), 1);
    EXPECT_TRUE(types(ask(client, "BEGIN TRANSACTION")).empty()) << "nested: no new one";
    EXPECT_EQ(trancount(), 2);
    EXPECT_TRUE(types(ask(client, "commit")).empty()) << "the inner commit ends nothing";
    const TdsReply commit = ask(client, "commit tran");
    ASSERT_EQ(types(commit), std::vector<int>{9});
    EXPECT_EQ(commit.envChanges[0].oldValue, descriptor);
    EXPECT_EQ(trancount(), 0);

    const TdsReply stray = ask(client, "commit");
    ASSERT_EQ(stray.errorNumbers(), std::vector<std::int32_t>{3902});
    EXPECT_EQ(stray.messages[0].text,
              "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.");
    EXPECT_EQ(ask(client, "rollback").errorNumbers(), std::vector<std::int32_t>{3903});
    EXPECT_TRUE(ask(client, "if @@trancount > 0 commit").errorNumbers().empty()) << "guarded";

    ask(client, "begin tran\nbegin tran");
    const TdsReply rollback = ask(client, "rollback");
    EXPECT_EQ(types(rollback), std::vector<int>{10}) << "rollback ends them all";
    EXPECT_EQ(trancount(), 0);
}

TEST(TdsSimParity, ADbasSelectKeepsItsNamesAndNumbersItsOrder) {
    TdsSimProcess sim("demo");
    RawTdsClient client(sim.port());
    client.login("sa", "Sim-Admin-1");

    TdsReply r = ask(client, "select spid AS MyAlias, blocked [Blocked By], status 'Now' "
                             "from sysprocesses where spid = 51");
    ASSERT_EQ(r.resultSets.size(), 1u);
    std::vector<std::string> names;
    for (const auto& c : r.resultSets[0].columns) {
        names.push_back(c.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"MyAlias", "Blocked By", "Now"}));

    const std::size_t all =
        ask(client, "select ALL spid from sysprocesses").resultSets.at(0).rows.size();
    ASSERT_GT(all, 10u);
    r = ask(client, "select top 10 percent spid from sysprocesses order by spid");
    EXPECT_EQ(r.resultSets.at(0).rows.size(), (all + 9) / 10) << "rounded up";
    r = ask(client, "select top (100) percent spid from sysprocesses");
    EXPECT_EQ(r.resultSets.at(0).rows.size(), all);
    EXPECT_EQ(ask(client, "select top 101 percent spid from sysprocesses").errorNumbers(),
              std::vector<std::int32_t>{1031});

    r = ask(client, "select distinct dbid from sysprocesses order by dbid");
    const std::vector<std::int64_t> dbids = column(r, 0, 0);
    EXPECT_TRUE(std::adjacent_find(dbids.begin(), dbids.end()) == dbids.end()) << "no repeats";
    EXPECT_GT(dbids.size(), 1u);

    r = ask(client, "select spid, blocked from sysprocesses order by 5");
    ASSERT_EQ(r.errorNumbers(), std::vector<std::int32_t>{108});
    EXPECT_EQ(r.messages[0].text, "The ORDER BY position number 5 is out of range of the number "
                                  "of items in the select list.");
    EXPECT_EQ(ask(client, "select distinct status from sysprocesses order by spid").errorNumbers(),
              std::vector<std::int32_t>{145});
}

TEST(TdsSimParity, SpWhoCmdIsNchar26AndTheDeadlockReportIsPlp) {
    TdsSimProcess sim("demo");
    RawTdsClient client(sim.port());
    client.login("sa", "Sim-Admin-1");
    TdsReply r = ask(client, "exec sp_who");
    const auto& who = r.resultSets.at(0).columns;
    const auto cmd =
        std::find_if(who.begin(), who.end(), [](const auto& c) { return c.name == "cmd"; });
    ASSERT_NE(cmd, who.end());
    EXPECT_EQ(cmd->type, 0xEF);
    EXPECT_EQ(cmd->length, 52u) << "nchar(26)";

    // One report of 1 MB and one of the usual size, both read whole through PLP chunks.
    ASSERT_EQ(sim.control("deadlock 0 57 59 size=1048576").rfind("OK", 0), 0u);
    ASSERT_EQ(sim.control("deadlock 0 62 63").rfind("OK", 0), 0u);
    client.sendBatch(
        "set ansi_nulls, ansi_padding, ansi_warnings, arithabort, concat_null_yields_null, "
        "quoted_identifier on;\r\n"
        "select top (100) convert(varchar(30), e.x.value('(@timestamp)[1]', 'datetime2(3)'), "
        "126), left(q.report, 1048576), datalength(q.report), convert(varchar(30), "
        "sysutcdatetime(), 126)\r\n"
        "from (select convert(xml, t.target_data) as d from sys.dm_xe_session_targets t "
        "join sys.dm_xe_sessions s on s.address = t.event_session_address "
        "where s.name = N'system_health' and t.target_name = N'ring_buffer') as r\r\n"
        "cross apply r.d.nodes('/RingBufferTarget/event[@name=\"xml_deadlock_report\"]"
        "[xs:dateTime(@timestamp) >= xs:dateTime(\"2000-01-01T00:00:00.000Z\")]') as e(x)\r\n"
        "cross apply (select convert(nvarchar(max), "
        "e.x.query('(data[@name=\"xml_report\"]/value/deadlock)[1]')) as report) as q\r\n"
        "order by e.x.value('(@timestamp)[1]', 'datetime2(3)')");
    r = readTdsReply(client.readMessage(std::chrono::seconds(30)).payload);
    ASSERT_EQ(r.resultSets.size(), 1u);
    const ReplyColumn& report = r.resultSets[0].columns.at(1);
    EXPECT_EQ(report.type, 0xE7);
    EXPECT_EQ(report.length, 0xFFFFu) << "nvarchar(max)";
    ASSERT_EQ(r.resultSets[0].rows.size(), 2u);
    const auto& big = r.resultSets[0].rows[0][1];
    EXPECT_EQ(big.text.size(), 1048576u);
    EXPECT_GT(big.plpChunks, 100) << "sent in chunks";
    EXPECT_EQ(big.text.rfind("</deadlock>"), big.text.size() - 11);
    const auto& small = r.resultSets[0].rows[1][1];
    EXPECT_LT(small.text.size(), 8000u);
    EXPECT_EQ(small.text.rfind("<deadlock>", 0), 0u);
}

// Cases a fuzzer found, each answered wrongly before.
TEST(TdsSimParity, FuzzedNamesOrdersAndComments) {
    TdsSimProcess sim("demo");
    RawTdsClient client(sim.port());
    client.login("sa", "Sim-Admin-1");

    // ORDER BY -spid sorts by the negation, not by spid.
    std::vector<std::int64_t> spids =
        column(ask(client, "select spid from sysprocesses order by -spid"), 0, 0);
    ASSERT_GT(spids.size(), 2u);
    EXPECT_TRUE(std::is_sorted(spids.rbegin(), spids.rend())) << "descending";

    // A prefixed name is the table's column even where an output alias has its name.
    TdsReply r = ask(client, "select spid as blocked, blocked as spid from sysprocesses sp "
                             "order by sp.blocked, sp.spid");
    const std::vector<std::int64_t> blocked = column(r, 0, 1);
    EXPECT_TRUE(std::is_sorted(blocked.begin(), blocked.end()));
    EXPECT_FALSE(std::is_sorted(column(r, 0, 0).begin(), column(r, 0, 0).end()));

    struct Case {
        const char* sql;
        std::int32_t error; // 0: one result set
        const char* named;  // the first column's name, or the error's name in its text
    };
    const Case cases[] = {
        {"select [] from sysprocesses", 1038, nullptr},
        {"select \"\" from sysprocesses", 1038, nullptr},
        {"select spid as [] from sysprocesses", 1038, nullptr},
        {"select spid as [a]]b] from sysprocesses", 0, "a]b"},
        {"select spid \"say \"\"hi\"\"\" from sysprocesses", 0, "say \"hi\""},
        {"select [sp]]id] from sysprocesses", 207, "Invalid column name 'sp]id'."},
        {"select spid $$$$ from sysprocesses", 102, nullptr},
        {"select 1.* from sysprocesses", 102, nullptr},
        {"select 1 /* /* nested */ still open", 113, "Missing end comment mark '*/'."},
        {"select spid from sysprocesses where spid = 51 /*\nkill 52\n*/", 0, "spid"},
        {"select spid from sysprocesses where spid = 51 -- ; kill 52", 0, "spid"},
        {"/* select 1;\nGO\n*/ select spid -- GO\nfrom sysprocesses where spid = 51", 0, "spid"},
    };
    for (const Case& c : cases) {
        r = ask(client, c.sql);
        if (c.error == 0) {
            EXPECT_TRUE(r.errorNumbers().empty()) << c.sql;
            EXPECT_EQ(r.resultSets.size(), 1u) << c.sql;
            if (r.resultSets.size() == 1) {
                EXPECT_EQ(r.resultSets[0].columns.at(0).name, c.named) << c.sql;
            }
        } else {
            EXPECT_TRUE(r.resultSets.empty()) << c.sql;
            EXPECT_EQ(r.errorNumbers(), std::vector<std::int32_t>{c.error}) << c.sql;
            if (c.named) {
                EXPECT_EQ(r.messages.at(0).text, c.named) << c.sql;
            }
        }
    }
    EXPECT_EQ(column(ask(client, "select spid from sysprocesses where spid = 52"), 0, 0),
              std::vector<std::int64_t>{52})
        << "no KILL in a comment ran";
}
