// tdssim's scenario reading and its timeline, with the clock in the test's hand.
#include "BuiltinScenarios.h"
#include "Bytes.h"
#include "Login7.h"
#include "Packet.h"
#include "Prelogin.h"
#include "Scenario.h"
#include "ServerState.h"
#include "Statement.h"
#include "TextUtil.h"

#include <cstdio>
#include <ctime>
#include <gtest/gtest.h>

using namespace tdssim;
using namespace std::chrono_literals;

namespace {

const ProcessRow* rowOf(const std::vector<ProcessRow>& rows, int spid) {
    for (const ProcessRow& r : rows) {
        if (r.session->spid == spid) {
            return &r;
        }
    }
    return nullptr;
}

const char* kTimeline = R"ini(
[server]
period = 10
[session]
spid = 51
[session]
spid = 52
[session]
spid = 53
[block]
waiter = 52
blocker = 51
from = 2
to = 6
wait_type = LCK_M_U
)ini";

} // namespace

TEST(TdsSimTimeline, WaitTimesGrowWhileAnEpisodeLastsAndTheTimelineRepeats) {
    auto t0 = Clock::now();
    ServerState state(parseScenario(kTimeline, "t"), 0, t0);
    struct Case {
        std::chrono::milliseconds at;
        int blocked;
        long long waittime;
    };
    const Case cases[] = {{1s, 0, 0}, {2s, 51, 0},        {3500ms, 51, 1500},
                          {6s, 0, 0}, {12500ms, 51, 500}, {19s, 0, 0}};
    for (const Case& c : cases) {
        auto rows = state.processRows(t0 + c.at, 0);
        const ProcessRow* r = rowOf(rows, 52);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->blocked, c.blocked) << c.at.count() << " ms";
        EXPECT_NEAR(static_cast<double>(r->waittime), static_cast<double>(c.waittime), 1.0)
            << c.at.count() << " ms";
        EXPECT_EQ(*r->status, c.blocked ? "suspended" : "sleeping");
    }
}

TEST(TdsSimTimeline, KillEndsTheVictimsEpisodesAndRowsAreOrdered) {
    auto t0 = Clock::now();
    ServerState state(parseScenario(kTimeline, "t"), 0, t0);
    state.block(53, 52, "LCK_M_S", "", t0 + 2s);
    auto rows = state.processRows(t0 + 3s, 0);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].session->spid, 51); // blocked 0
    EXPECT_EQ(rows[1].session->spid, 52); // blocked 51
    EXPECT_EQ(rows[2].session->spid, 53); // blocked 52
    EXPECT_EQ(rows[2].waittime, 1000);

    EXPECT_EQ(state.kill(52), KillResult::Killed);
    EXPECT_EQ(state.kill(52), KillResult::NotFound);
    rows = state.processRows(t0 + 3s, 0);
    EXPECT_EQ(rowOf(rows, 52), nullptr);
    EXPECT_EQ(rowOf(rows, 53)->blocked, 0) << "its blocker is gone";

    EXPECT_EQ(state.kill(51), KillResult::Killed);
    EXPECT_FALSE(state.inputBuffer(51, t0 + 3s).has_value());
}

TEST(TdsSimTimeline, ClientSessionsGetFreeSpidsAndLeave) {
    ServerState state(parseScenario(kTimeline, "t"), 0, Clock::now());
    SessionDef row;
    row.program = "App";
    int a = state.attachConnection(row);
    int b = state.attachConnection(row);
    EXPECT_EQ(a, 54) << "the first SPID from 51 that the scenario does not use";
    EXPECT_EQ(b, 55);
    state.detachConnection(a);
    EXPECT_FALSE(state.spidExists(a));
    EXPECT_EQ(state.attachConnection(row), 54);
}

TEST(TdsSimTimeline, ASpidPassesToAnotherSessionWhenItsRowsHaveWindows) {
    const char* text = R"ini(
[session]
spid = 51
login = alice
to = 10
input = UPDATE a
[session]
spid = 51
login = bob
from = 12
input = UPDATE b
)ini";
    auto t0 = Clock::now();
    ServerState state(parseScenario(text, "t"), 0, t0);
    struct Case {
        std::chrono::milliseconds at;
        const char* login; // nullptr: no row
        const char* input;
    };
    const Case cases[] = {{0s, "alice", "UPDATE a"},
                          {9999ms, "alice", "UPDATE a"},
                          {10s, nullptr, nullptr},
                          {12s, "bob", "UPDATE b"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.at.count());
        auto rows = state.processRows(t0 + c.at, 0);
        const ProcessRow* r = rowOf(rows, 51);
        auto buffer = state.inputBuffer(51, t0 + c.at);
        if (c.login == nullptr) {
            EXPECT_EQ(r, nullptr);
            EXPECT_FALSE(buffer.has_value());
            continue;
        }
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->session->login, c.login);
        ASSERT_TRUE(buffer.has_value());
        EXPECT_EQ(buffer->text, c.input);
    }
}

// Seconds since 1970 of "yyyy-mm-dd hh:mi:ss.mmm" (UTC, as the server writes its times).
double secondsOf(const std::string& text) {
    std::tm tm{};
    int ms = 0;
    EXPECT_EQ(std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d.%d", &tm.tm_year, &tm.tm_mon,
                          &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms),
              7)
        << text;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<double>(timegm(&tm)) + ms / 1000.0;
}

TEST(TdsSimTimeline, LastBatchAndTransactionBeginLieAsFarBackAsTheScenarioSays) {
    const char* text = R"ini(
[session]
spid = 51
open_tran = 1
idle = 840
[session]
spid = 52
open_tran = 2
idle = 10
transaction_age = 900.5
[session]
spid = 53
idle = 30
)ini";
    auto t0 = Clock::now();
    ServerState state(parseScenario(text, "t"), 0, t0);
    const double now = secondsOf(state.serverTime());
    struct Case {
        int spid;
        double idle;
        double transaction; // < 0: none
    };
    const Case cases[] = {{51, 840, 840}, {52, 10, 900.5}, {53, 30, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.spid);
        const std::optional<std::string> batch = state.lastBatch(c.spid, t0);
        ASSERT_TRUE(batch.has_value());
        EXPECT_NEAR(now - secondsOf(*batch), c.idle, 2.0);
        const std::optional<std::string> begin = state.transactionBegin(c.spid, t0);
        ASSERT_EQ(begin.has_value(), c.transaction >= 0);
        if (begin) {
            EXPECT_NEAR(now - secondsOf(*begin), c.transaction, 2.0);
        }
    }
    EXPECT_FALSE(state.lastBatch(99, t0).has_value());
    EXPECT_FALSE(state.transactionBegin(99, t0).has_value());
    state.kill(51);
    EXPECT_FALSE(state.lastBatch(51, t0).has_value());
}

TEST(TdsSimScenario, ErrorsNameTheLine) {
    struct Case {
        const char* text;
        const char* fragment;
    };
    const Case cases[] = {
        {"[session]\nspid = x\n", "t:2: not an integer"},
        {"[bogus]\n", "t:1: unknown section"},
        {"name = a\n", "t:1: key outside a section"},
        {"[session]\nspid = 51\ncolour = red\n", "t:3: unknown key in [session]"},
        {"[session]\nspid = 51\ndatabase = Nowhere\n", "unknown database: Nowhere"},
        {"[session]\nlogin = sa\n", "needs a spid"},
        {"[faults]\ndelay = soon\n", "delay needs milliseconds"},
        {"[block]\nto = tomorrow\n", "t:2: not a number of seconds"},
        {"[session]\nspid = 51\nidle = -5\n", "t:3: not a number of seconds from 0"},
        {"[session]\nspid = 51\ntransaction_age = forever\n", "t:3: not a number of seconds"},
        {"[session]\nspid = 51\nidle = 1e300\n", "t:3: not a number of seconds from 0"},
        {"[deadlock]\nsessions = 57\n", "needs 2 to 16 sessions"},
        {"[deadlock]\nsessions = 57, 0\n", "t:2: a deadlock's sessions are SPIDs"},
        {"[deadlock]\nsessions = 57, 59\nvictim = 60\n", "victim is none of its sessions"},
        {"[deadlock]\nresources = keylock, tablock\n", "t:2: unknown deadlock resource: tablock"},
        {"[server]\nperiod = 10\n[deadlock]\nat = 12\nsessions = 1, 2\n", "within the period"},
        {"[server]\nring_buffer = 0\n", "t:2: ring_buffer must be"},
    };
    for (const Case& c : cases) {
        try {
            parseScenario(c.text, "t");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const ScenarioError& e) {
            EXPECT_NE(std::string(e.what()).find(c.fragment), std::string::npos) << e.what();
        }
    }
}

TEST(TdsSimScenario, QuotedValuesKeepBlanksAndFaultsApplyPerInstance) {
    Scenario sc = parseScenario("[session]\nspid = 60\nhost = \"  H  \"\ninput = a\\r\\nb\n"
                                "[faults]\ndelay = 100\n[faults 1]\nrefuse = yes\n",
                                "t");
    EXPECT_EQ(sc.sessions[0].host, "  H  ");
    EXPECT_EQ(sc.sessions[0].inputBuffer, "a\r\nb");
    EXPECT_EQ(sc.faultsFor(0).delayMs, 100);
    EXPECT_TRUE(sc.faultsFor(1).refuse);
    EXPECT_EQ(sc.faultsFor(1).delayMs, 0);
    EXPECT_EQ(sc.logins.size(), 4u) << "the standard logins when none are given";
}

TEST(TdsSimScenario, BuiltInsLoadAndTheGeneratorMakesWhatItIsAskedFor) {
    for (const char* name : {"demo", "edge"}) {
        Scenario sc = loadScenario(name);
        ASSERT_NE(sc.logins.size(), 0u) << name;
        EXPECT_EQ(sc.logins[0].name, "sa");
        EXPECT_TRUE(sc.logins[0].sysadmin);
        EXPECT_EQ(sc.logins[1].name, "viewer");
        EXPECT_FALSE(sc.logins[1].sysadmin);
    }
    Scenario gen = generateScenario("sessions=1000,blocked=0.25,depth=10");
    EXPECT_EQ(gen.sessions.size(), 1000u);
    EXPECT_EQ(gen.episodes.size(), 250u);
    ServerState state(gen, 0, Clock::now());
    auto rows = state.processRows(Clock::now(), 0);
    int blocked = 0;
    for (const ProcessRow& r : rows) {
        blocked += r.blocked != 0;
    }
    EXPECT_EQ(blocked, 250);
    EXPECT_THROW(generateScenario("sessions=10,colour=red"), ScenarioError);
    EXPECT_THROW(generateScenario("blocked=2"), ScenarioError);
    Scenario big = generateScenario("sessions=40000,blocked=0");
    EXPECT_EQ(big.sessions.size(), 40000u);
    EXPECT_LE(big.sessions.back().spid, 32767);
}

TEST(TdsSimStatements, MatchAfterFoldingCaseAndWhiteSpace) {
    struct Case {
        const char* text;
        StatementKind kind;
        long long number;
    };
    const Case cases[] = {
        {kProcessQuery, StatementKind::ProcessQuery, 0},
        {"SELECT  spid, blocked, d.name, waittime, lastwaittype, waitresource, open_tran, "
         "p.status, hostname, program_name, cmd, loginame, cpu, physical_io, memusage\n FROM "
         "master.dbo.sysprocesses p LEFT OUTER JOIN master..sysdatabases d ON d.dbid = p.dbid "
         "ORDER BY blocked, waittime;",
         StatementKind::ProcessQuery, 0},
        {"select IS_SRVROLEMEMBER('sysadmin')", StatementKind::IsSysAdmin, 0},
        {"DBCC INPUTBUFFER(53)", StatementKind::InputBuffer, 53},
        {"dbcc inputbuffer ( -4 )", StatementKind::InputBuffer, -4},
        {"KILL 53", StatementKind::Kill, 53},
        {"kill -2", StatementKind::Kill, -2},
        {"select 1", StatementKind::SelectInt, 1},
        {"SET TEXTSIZE 2147483647 SET ANSI_NULLS ON", StatementKind::Set, 0},
        {"use [Sales]", StatementKind::Use, 0},
        {"KILL", StatementKind::Unknown, 0},
        {"killer 5", StatementKind::Unknown, 0},
        {"select * from sys.dm_exec_sessions", StatementKind::Unknown, 0},
        {"select dbid, name from master.dbo.sysdatabases", StatementKind::Databases, 0},
        {"select loginame, hostname, program_name, convert(varchar(23), login_time, 121) from "
         "master.dbo.sysprocesses where spid = 64",
         StatementKind::SessionIdentity, 64},
        {"SELECT convert(varchar(23), last_batch, 121), convert(varchar(23), getdate(), 121)\r\n"
         "FROM master.dbo.sysprocesses WHERE spid = 51",
         StatementKind::LastBatch, 51},
        {"select convert(varchar(23), min(a.transaction_begin_time), 121), convert(varchar(23), "
         "getdate(), 121) from sys.dm_tran_session_transactions s join "
         "sys.dm_tran_active_transactions a on a.transaction_id = s.transaction_id where "
         "s.session_id = 52",
         StatementKind::TranBegin, 52},
        {"select object_schema_name(7, 5), object_name(7, 5), null", StatementKind::ObjectNames, 7},
        {"select object_schema_name(p.object_id, 5), object_name(p.object_id, 5), i.name from "
         "[Sales].sys.partitions p left join [Sales].sys.indexes i on i.object_id = p.object_id "
         "and i.index_id = p.index_id where p.hobt_id = 72057594043301888",
         StatementKind::ObjectNames, 72057594043301888},
        // The object id and the database id must be the same in both calls.
        {"select object_schema_name(7, 5), object_name(8, 5), null", StatementKind::Unknown, 0},
    };
    for (const Case& c : cases) {
        Statement st = classifyStatement(c.text);
        EXPECT_EQ(st.kind, c.kind) << c.text;
        EXPECT_EQ(st.number, c.number) << c.text;
    }
    EXPECT_EQ(classifyStatement("use [Sales]").word, "Sales");
    EXPECT_EQ(classifyStatement("select object_schema_name(7, 5), object_name(7, 5), null").number2,
              5);
    EXPECT_EQ(classifyStatement("frobnicate now").word, "frobnicate");
}

TEST(TdsSimStatements, BatchesSplitIntoStatementsButNotInsideOneStatement) {
    struct Case {
        std::string batch;
        std::vector<std::string> parts;
    };
    const std::vector<Case> cases = {
        {"SELECT @@MAX_PRECISION\r\nSET TRANSACTION ISOLATION LEVEL READ COMMITTED\r\n"
         "SET IMPLICIT_TRANSACTIONS OFF",
         {"SELECT @@MAX_PRECISION", "SET TRANSACTION ISOLATION LEVEL READ COMMITTED",
          "SET IMPLICIT_TRANSACTIONS OFF"}},
        {"select 1; select 2;", {"select 1", "select 2"}},
        {kProcessQuery, {kProcessQuery}},
        {"select 'a;b'", {"select 'a;b'"}},
        {"select 'it''s; here'\nkill 5", {"select 'it''s; here'", "kill 5"}},
        {"select [odd;name]", {"select [odd;name]"}},
        {"set nocount on\n\n  \nselect 1", {"set nocount on", "select 1"}},
        {"set nocount on\nselected_rows", {"set nocount on\nselected_rows"}},
        {";;", {";;"}},
        // Comments are blanks: nothing in one splits or runs, nested ones included.
        {"select 1 /* ;\nkill 5 */\nselect 2", {"select 1", "select 2"}},
        {"select 1 -- ; kill 5\nselect 2", {"select 1", "select 2"}},
        {"/* a /* nested */ kill 5 */ select 1", {"select 1"}},
        {"select '--not a comment'; select \"/*\"", {"select '--not a comment'", "select \"/*\""}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> parts;
        for (const std::string& p : splitBatch(c.batch)) {
            parts.push_back(trim(p)); // the blanks around a statement do not matter
        }
        EXPECT_EQ(parts, c.parts) << c.batch;
    }
}

TEST(TdsSimEncryption, AnswerAndOutcomeForEveryModeAndClientByte) {
    using O = EncryptionDecision::Outcome;
    struct Case {
        EncryptionMode mode;
        std::optional<std::uint8_t> client;
        std::uint8_t answer;
        O outcome;
    };
    const std::vector<Case> cases = {
        {EncryptionMode::Off, Encrypt::Off, Encrypt::NotSup, O::Clear},
        {EncryptionMode::Off, Encrypt::On, Encrypt::NotSup, O::Clear},
        {EncryptionMode::Login, Encrypt::Off, Encrypt::Off, O::LoginOnly},
        {EncryptionMode::Login, Encrypt::On, Encrypt::On, O::Everything},
        {EncryptionMode::Login, Encrypt::NotSup, Encrypt::NotSup, O::Clear},
        {EncryptionMode::Login, std::nullopt, Encrypt::NotSup, O::Clear},
        {EncryptionMode::On, Encrypt::Off, Encrypt::Req, O::Everything},
        {EncryptionMode::On, Encrypt::On, Encrypt::On, O::Everything},
        {EncryptionMode::On, Encrypt::Req, Encrypt::On, O::Everything},
        {EncryptionMode::On, Encrypt::NotSup, Encrypt::Req, O::Refuse},
        {EncryptionMode::On, std::nullopt, Encrypt::Req, O::Refuse},
        {EncryptionMode::Required, Encrypt::Off, Encrypt::Req, O::Everything},
        {EncryptionMode::Required, 0x81, Encrypt::Req, O::Everything}, // on + client cert
        {EncryptionMode::Required, Encrypt::NotSup, Encrypt::Req, O::Refuse},
        {EncryptionMode::Required, 0x07, Encrypt::Req, O::Refuse},
    };
    for (const Case& c : cases) {
        EncryptionDecision d = negotiateEncryption(c.mode, c.client);
        EXPECT_EQ(d.answer, c.answer)
            << encryptionModeName(c.mode) << " " << int(c.client.value_or(99));
        EXPECT_EQ(d.outcome, c.outcome)
            << encryptionModeName(c.mode) << " " << int(c.client.value_or(99));
    }
    std::string reply = buildPreloginReply(Encrypt::Req);
    EXPECT_EQ(parsePrelogin(reply).encryption, Encrypt::Req);
}

TEST(TdsSimPackets, ReassemblyAcrossReadsAndAttentionCuttingIn) {
    std::string stream;
    std::uint8_t id = 1;
    appendPackets(stream, PacketType::SqlBatch, std::string(1000, 'x'), 512, 0, id);
    appendPackets(stream, PacketType::Attention, "", 512, 0, id);
    MessageAssembler a;
    std::vector<Message> got;
    for (char c : stream) { // one byte at a time: the worst a socket can do
        a.feed(std::string_view(&c, 1));
        while (auto m = a.next()) {
            got.push_back(std::move(*m));
        }
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].payload, std::string(1000, 'x'));
    EXPECT_EQ(got[1].type, PacketType::Attention);

    MessageAssembler b;
    b.feed(std::string("\x01\x01\x00\x07\x00\x00\x01\x00", 8));
    EXPECT_THROW(b.next(), ProtocolError);
}

namespace {

const char* kDeadlocks = R"ini(
[server]
period = 10
ring_buffer = 2
[database]
id = 5
name = Sales
[session]
spid = 57
program = A <&> "B"
database = Sales
input = SELECT '\x1b'
[session]
spid = 59
[deadlock]
at = 3
sessions = 57, 59
victim = 59
resources = pagelock, exchangeEvent
)ini";

} // namespace

TEST(TdsSimDeadlocks, TheTimelineFillsTheRingBufferOncePerPeriodAndItKeepsTheNewest) {
    Scenario sc = parseScenario(kDeadlocks, "t");
    sc.sessions[0].inputBuffer = "SELECT '\x1b[31m' WHERE a < b"; // an escape sequence
    const auto t0 = Clock::now();
    ServerState state(sc, 0, t0);
    EXPECT_TRUE(state.deadlocks(t0 + 2s).events().empty());
    ASSERT_EQ(state.deadlocks(t0 + 3500ms).events().size(), 1u);
    // Asked late, the deadlocks of every period passed come with their own times.
    DeadlockRing& ring = state.deadlocks(t0 + 25s);
    EXPECT_EQ(ring.total(), 3u);
    ASSERT_EQ(ring.events().size(), 2u); // the buffer keeps two: the first is gone
    EXPECT_NEAR(static_cast<double>(ring.events()[1].timeMs - ring.events()[0].timeMs), 10000, 50);
    // Set back, the clock brings no deadlock; nor does asking again at the same moment.
    state.setScenarioTime(0, t0 + 26s);
    EXPECT_EQ(state.deadlocks(t0 + 26s).total(), 3u);
    EXPECT_EQ(state.deadlocks(t0 + 27s).total(), 3u);
    EXPECT_EQ(state.deadlocks(t0 + 29s).total(), 4u);

    const std::string& x = ring.events().back().report;
    EXPECT_EQ(x.rfind("<deadlock><victim-list><victimProcess id=\"", 0), 0u) << x;
    EXPECT_NE(x.find("spid=\"57\" sbid=\"0\" ecid=\"0\""), std::string::npos);
    EXPECT_NE(x.find("clientapp=\"A &lt;&amp;&gt; &quot;B&quot;\""), std::string::npos) << x;
    EXPECT_NE(x.find("SELECT '&#x1B;[31m' WHERE a &lt; b"), std::string::npos) << x;
    EXPECT_NE(x.find("<pagelock fileid=\"1\" pageid=\"4410\" dbid=\"5\""), std::string::npos);
    EXPECT_NE(x.find("<exchangeEvent id=\"Pipe"), std::string::npos);
    EXPECT_TRUE(x.ends_with("</resource-list></deadlock>"));
}

TEST(TdsSimDeadlocks, TheReadIsRecognisedWithItsTimeAndNothingLikeIt) {
    std::string read = kDeadlockRead;
    read.replace(read.find("{since}"), 7, "2026-12-11T02:00:01.250Z");
    Statement st = classifyStatement(read);
    ASSERT_EQ(st.kind, StatementKind::DeadlockRead);
    EXPECT_EQ(st.number, 1796954401250LL);
    // Folded like every statement: case and line breaks do not matter.
    std::string folded = read;
    for (char& c : folded) {
        c = c == '\n' ? ' ' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(classifyStatement(folded).kind, StatementKind::DeadlockRead);
    std::string unfiltered = kDeadlockRead;
    unfiltered.erase(unfiltered.find("[xs:dateTime"),
                     unfiltered.find("]')") + 1 - unfiltered.find("[xs:dateTime"));
    for (const std::string& text :
         {unfiltered, std::string(read).replace(read.find("2026-12-11"), 10, "2026-13-11"),
          std::string(read).replace(read.find("top (100)"), 9, "top (100000)")}) {
        EXPECT_EQ(classifyStatement(text).kind, StatementKind::Unknown) << text;
    }
    EXPECT_EQ(classifyStatement("select convert(varchar(30), sysutcdatetime(), 126)").kind,
              StatementKind::ServerClock);
}
