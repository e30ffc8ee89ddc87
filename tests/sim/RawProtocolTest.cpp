// tdssim's packets and messages as they travel: packet sizes, multi-packet requests and
// replies, attention, faults and hostile input, seen through a bare TDS client.
#include "RawTdsClient.h"
#include "TdsSimProcess.h"

#include <gtest/gtest.h>
#include <memory>

using namespace std::chrono_literals;
using tallyvane::testsupport::RawMessage;
using tallyvane::testsupport::RawTdsClient;
using tallyvane::testsupport::RawTdsError;
using tallyvane::testsupport::TdsSimProcess;

namespace {

const char* const kProcessQuery =
    "select spid, blocked, d.name, waittime, lastwaittype, waitresource, open_tran, p.status, "
    "hostname, program_name, cmd, loginame, cpu, physical_io, memusage\r\n"
    "from master.dbo.sysprocesses p left outer join master..sysdatabases d on d.dbid = p.dbid\r\n"
    "order by blocked, waittime";

constexpr std::uint16_t kDoneAttention = 0x20;
// SQL_Latin1_General_CP1_CI_AS
constexpr const char* kCollationBytes = "\x09\x04\xD0\x00\x34";

bool isOnlyDone(const RawMessage& m) {
    return m.payload.size() == 13 && static_cast<std::uint8_t>(m.payload[0]) == 0xFD;
}

} // namespace

TEST(TdsSimRaw, LoginReplyAndNegotiatedPacketSize) {
    TdsSimProcess sim("gen:sessions=300,blocked=0.3,depth=3");
    struct Case {
        std::uint32_t asked;
        std::size_t expectedMax;
    };
    // 0 means "server default"; sizes outside 512..32767 are clamped.
    const Case cases[] = {{512, 512}, {4096, 4096}, {32767, 32767}, {0, 4096}, {100, 512}};
    for (const Case& c : cases) {
        RawTdsClient client(sim.port());
        RawMessage login = client.login("sa", "Sim-Admin-1", "Raw", c.asked);
        EXPECT_LE(login.largestPacket, 4096u) << "the login reply precedes the new size";
        EXPECT_EQ(RawTdsClient::finalDoneStatus(login), 0);
        EXPECT_NE(login.payload.find('\xAD'), std::string::npos) << "LOGINACK";

        client.sendBatch(kProcessQuery);
        RawMessage reply = client.readMessage();
        EXPECT_EQ(reply.type, 0x04);
        EXPECT_EQ(reply.largestPacket, c.expectedMax) << "asked " << c.asked;
        EXPECT_GT(reply.packets, 1);
        EXPECT_GE(RawTdsClient::finalDoneRows(reply), 300u);
        EXPECT_EQ(RawTdsClient::finalDoneStatus(reply), 0x10) << "DONE_COUNT, final";
    }
}

TEST(TdsSimRaw, BatchSpreadOverManyPacketsIsOneStatement) {
    TdsSimProcess sim("demo");
    RawTdsClient client(sim.port());
    client.login("sa", "Sim-Admin-1");
    client.sendBatch(std::string(3000, ' ') + kProcessQuery + std::string(3000, '\n'), 512);
    RawMessage reply = client.readMessage();
    EXPECT_EQ(RawTdsClient::finalDoneStatus(reply), 0x10);
    EXPECT_GE(RawTdsClient::finalDoneRows(reply), 18u);
}

TEST(TdsSimRaw, AttentionEndsTheHeldReplyThenAcknowledgesSeparately) {
    TdsSimProcess sim("demo");
    RawTdsClient client(sim.port());
    client.login("sa", "Sim-Admin-1");

    // Nothing pending: one DONE with the attention bit.
    client.sendAttention();
    RawMessage ack = client.readMessage();
    ASSERT_TRUE(isOnlyDone(ack));
    EXPECT_EQ(RawTdsClient::finalDoneStatus(ack), kDoneAttention);

    for (const char* fault : {"hang", "delay"}) {
        sim.setFault(0, fault, std::string(fault) == "delay" ? "30000" : "");
        client.sendBatch(kProcessQuery);
        sim.waitForLog([](const auto& e) { return e.at("event") == "batch"; });
        client.sendAttention();
        RawMessage ended = client.readMessage();
        RawMessage acked = client.readMessage();
        ASSERT_TRUE(isOnlyDone(ended)) << fault;
        EXPECT_EQ(RawTdsClient::finalDoneStatus(ended) & kDoneAttention, 0) << fault;
        ASSERT_TRUE(isOnlyDone(acked)) << fault;
        EXPECT_EQ(RawTdsClient::finalDoneStatus(acked), kDoneAttention) << fault;
        sim.clearFaults();
        sim.control("log-clear 0");
    }
    client.sendBatch("select 1");
    EXPECT_EQ(RawTdsClient::finalDoneRows(client.readMessage()), 1u);
}

TEST(TdsSimRaw, DelayHoldsEachAnswer) {
    TdsSimProcess sim("demo");
    RawTdsClient client(sim.port());
    client.login("sa", "Sim-Admin-1");
    sim.setFault(0, "delay", "300");
    auto start = std::chrono::steady_clock::now();
    client.sendBatch("select 1");
    client.readMessage();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
}

TEST(TdsSimRaw, DropCutsTheResultAndCloses) {
    TdsSimProcess sim("demo");
    RawTdsClient client(sim.port());
    client.login("sa", "Sim-Admin-1");
    sim.setFault(0, "drop");
    client.sendBatch("set nocount on");
    EXPECT_EQ(RawTdsClient::finalDoneStatus(client.readMessage()), 0) << "no result set, no drop";
    client.sendBatch(kProcessQuery);
    EXPECT_THROW(client.readMessage(), RawTdsError);
}

TEST(TdsSimRaw, HostileInputClosesOnlyThatConnection) {
    TdsSimProcess sim("demo");
    const std::string cases[] = {
        std::string("\x12\x01\x00\x04\x00\x00\x01\x00", 8),            // length below the header
        std::string("\x16\x03\x01\x00\x30", 5) + std::string(60, 'x'), // a TLS ClientHello
        std::string("\x10\x01\x00\x10\x00\x00\x01\x00", 8) + std::string(8, '\xFF'), // short LOGIN7
        std::string("\x12\x01\x00\x0D\x00\x00\x01\x00\x00\xFF\xFF\x00\x10", 13), // option past end
        std::string("\x01\x01\x00\x0A\x00\x00\x01\x00"
                    "ab",
                    10), // a batch before login
    };
    for (const std::string& bytes : cases) {
        RawTdsClient bad(sim.port());
        bad.sendRaw(bytes);
        EXPECT_TRUE(bad.closedByServer()) << "case of " << bytes.size() << " bytes";
    }
    RawTdsClient good(sim.port());
    good.login("sa", "Sim-Admin-1");
    good.sendBatch("select 1");
    EXPECT_EQ(RawTdsClient::finalDoneRows(good.readMessage()), 1u);
    EXPECT_EQ(sim.logEntries().size() > 0, true);
}

TEST(TdsSimRaw, MalformedFaultSendsABrokenHeader) {
    TdsSimProcess sim("demo");
    RawTdsClient client(sim.port());
    client.login("sa", "Sim-Admin-1");
    sim.setFault(0, "malformed");
    client.sendBatch("select 1");
    EXPECT_THROW(client.readMessage(), RawTdsError);
}

namespace {

// The PRELOGIN option table of a payload: (token, offset, length) until 0xFF.
struct Option {
    std::uint8_t token;
    std::size_t offset;
    std::size_t length;
};

std::vector<Option> optionTable(const std::string& payload) {
    std::vector<Option> table;
    for (std::size_t at = 0; at < payload.size() && payload[at] != '\xFF'; at += 5) {
        if (at + 5 > payload.size()) {
            ADD_FAILURE() << "option table runs off the payload";
            break;
        }
        table.push_back(
            {static_cast<std::uint8_t>(payload[at]),
             (static_cast<std::size_t>(static_cast<std::uint8_t>(payload[at + 1])) << 8) |
                 static_cast<std::uint8_t>(payload[at + 2]),
             (static_cast<std::size_t>(static_cast<std::uint8_t>(payload[at + 3])) << 8) |
                 static_cast<std::uint8_t>(payload[at + 4])});
    }
    return table;
}

// A client's PRELOGIN with these options; INSTOPT says "MSSQLServer".
std::string preloginWith(const std::vector<std::uint8_t>& tokens, char encryption = '\x02') {
    std::string data;
    std::vector<std::pair<std::size_t, std::size_t>> places;
    for (std::uint8_t t : tokens) {
        std::string d;
        switch (t) {
        case 0x00:
            d = std::string("\x0C\x00\x00\x00\x00\x00", 6);
            break;
        case 0x01:
            d = std::string(1, encryption);
            break;
        case 0x02:
            d = std::string("MSSQLServer\0", 12);
            break;
        case 0x03:
            d = std::string("\x01\x02\x03\x04", 4);
            break;
        case 0x05:
            d = std::string(36, '\x11');
            break;
        default:
            d = std::string(1, '\0');
            break;
        }
        places.emplace_back(data.size(), d.size());
        data += d;
    }
    std::string table;
    const std::size_t start = tokens.size() * 5 + 1;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::size_t off = start + places[i].first;
        table += static_cast<char>(tokens[i]);
        table += static_cast<char>(off >> 8);
        table += static_cast<char>(off & 0xFF);
        table += static_cast<char>(places[i].second >> 8);
        table += static_cast<char>(places[i].second & 0xFF);
    }
    return table + '\xFF' + data;
}

std::uint32_t beU32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        v = (v << 8) | static_cast<std::uint8_t>(s.at(at + i));
    }
    return v;
}

// The line number of the first ERROR token with this message number in a 7.2+ reply.
int errorLine(const RawMessage& m, std::int32_t number) {
    std::string needle("\xAA\x00\x00", 3);
    for (std::size_t at = m.payload.find('\xAA'); at != std::string::npos;
         at = m.payload.find('\xAA', at + 1)) {
        if (at + 9 > m.payload.size()) {
            break;
        }
        std::int32_t n = 0;
        for (int i = 3; i >= 0; --i) {
            n = (n << 8) |
                static_cast<std::uint8_t>(m.payload[at + 3 + static_cast<std::size_t>(i)]);
        }
        if (n != number) {
            continue;
        }
        std::size_t p = at + 9; // token, length, number, state, class
        const std::size_t chars =
            static_cast<std::uint8_t>(m.payload[p]) |
            (static_cast<std::size_t>(static_cast<std::uint8_t>(m.payload[p + 1])) << 8);
        p += 2 + chars * 2;
        p += 1 + static_cast<std::uint8_t>(m.payload[p]) * 2u; // server name
        p += 1 + static_cast<std::uint8_t>(m.payload[p]) * 2u; // procedure name
        int line = 0;
        for (int i = 3; i >= 0; --i) {
            line = (line << 8) |
                   static_cast<std::uint8_t>(m.payload.at(p + static_cast<std::size_t>(i)));
        }
        return line;
    }
    ADD_FAILURE() << "no ERROR " << number;
    return -1;
}

} // namespace

TEST(TdsSimRaw, LoginWithoutPreloginIsRefusedWhereEncryptionIsForced) {
    struct Case {
        const char* mode;
        bool served;
        const char* logged;
    };
    const Case cases[] = {{"off", true, "none"},
                          {"login", true, "none"},
                          {"on", false, "refused"},
                          {"required", false, "refused"}};
    for (const Case& c : cases) {
        TdsSimProcess sim("demo", 1, std::chrono::seconds(10), {"--encryption", c.mode});
        RawTdsClient client(sim.port());
        client.sendLogin7("sa", "Sim-Admin-1");
        if (c.served) {
            RawMessage reply = client.readMessage();
            EXPECT_NE(reply.payload.find('\xAD'), std::string::npos) << c.mode << ": LOGINACK";
            client.sendBatch("select 1");
            EXPECT_EQ(RawTdsClient::finalDoneRows(client.readMessage()), 1u) << c.mode;
        } else {
            EXPECT_TRUE(client.closedByServer()) << c.mode;
        }
        auto enc = sim.waitForLog([](const auto& e) { return e.at("event") == "encryption"; });
        EXPECT_EQ(enc.at("mode"), c.logged) << c.mode;
        EXPECT_EQ(enc.at("server"), c.mode);
        if (!c.served) {
            sim.waitForLog([](const auto& e) { return e.at("event") == "disconnect"; });
            for (const auto& entry : sim.logEntries()) {
                EXPECT_NE(entry.at("event"), "login") << c.mode << ": the login is never read";
            }
        }
    }
}

TEST(TdsSimRaw, PreloginAnswerFollowsTheClientsOptions) {
    TdsSimProcess sim("demo");
    struct Case {
        std::vector<std::uint8_t> sent;
        std::vector<std::uint8_t> answered;
    };
    const Case cases[] = {
        {{0x00, 0x01, 0x02, 0x03}, {0x00, 0x01, 0x02, 0x03}},             // no MARS added
        {{0x00, 0x01, 0x02, 0x03, 0x04}, {0x00, 0x01, 0x02, 0x03, 0x04}}, // FreeTDS-like
        {{0x00, 0x01}, {0x00, 0x01}},
        {{0x00, 0x01, 0x04, 0x02}, {0x00, 0x01, 0x04, 0x02}}, // the client's order
        {{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06},
         {0x00, 0x01, 0x02, 0x03, 0x04, 0x06}}, // no TRACEID
        {{0x00, 0x01, 0x09}, {0x00, 0x01}},     // unknown option
    };
    for (const Case& c : cases) {
        RawTdsClient client(sim.port());
        RawMessage reply = client.prelogin(preloginWith(c.sent));
        std::vector<Option> table = optionTable(reply.payload);
        std::vector<std::uint8_t> tokens;
        for (const Option& o : table) {
            ASSERT_LE(o.offset + o.length, reply.payload.size());
            tokens.push_back(o.token);
            if (o.token == 0x01) {
                ASSERT_EQ(o.length, 1u);
                EXPECT_EQ(reply.payload[o.offset], '\x02') << "encryption not supported (off)";
            }
        }
        EXPECT_EQ(tokens, c.answered) << "case with " << c.sent.size() << " options";
        client.sendLogin7("sa", "Sim-Admin-1");
        EXPECT_NE(client.readMessage().payload.find('\xAD'), std::string::npos);
    }
    // A client that reads the answer at its own four-option layout finds its values there.
    RawTdsClient client(sim.port());
    RawMessage reply = client.prelogin(preloginWith({0x00, 0x01, 0x02, 0x03}));
    EXPECT_EQ(reply.payload.substr(0, 21),
              std::string("\x00\x00\x15\x00\x06\x01\x00\x1B\x00\x01\x02\x00\x1C\x00\x01"
                          "\x03\x00\x1D\x00\x00\xFF",
                          21));
    EXPECT_EQ(reply.payload.substr(21), std::string("\x0F\x00\x07\xD0\x00\x00\x02\x00", 8));
}

TEST(TdsSimRaw, LoginAckCarriesTheAgreedVersion) {
    TdsSimProcess sim("demo");
    struct Case {
        std::uint32_t sent;
        std::uint32_t acked;
        bool collations;
    };
    const Case cases[] = {
        {0x70000000, 0x07000000, false}, // 7.0
        {0x71000000, 0x07010000, true},  // 7.1
        {0x71000001, 0x71000001, true},  // 7.1 revision 1
        {0x72090002, 0x72090002, true},  // 7.2
        {0x730B0003, 0x730B0003, true},  // 7.3B
        {0x74000004, 0x74000004, true},  // 7.4
        {0x75000000, 0x74000004, true},  // newer than the server: its newest
    };
    for (const Case& c : cases) {
        RawTdsClient client(sim.port());
        client.sendLogin7("sa", "Sim-Admin-1", c.sent);
        RawMessage login = client.readMessage();
        const std::size_t ack = login.payload.find('\xAD');
        ASSERT_NE(ack, std::string::npos) << std::hex << c.sent;
        EXPECT_EQ(beU32(login.payload, ack + 4), c.acked) << std::hex << c.sent;
        // The login's collation goes to every client, 7.0 included: it names the character set.
        EXPECT_NE(login.payload.find(std::string("\xE3\x08\x00\x07", 4)), std::string::npos)
            << std::hex << c.sent << ": collation ENVCHANGE";
        // spid smallint NOT NULL, status nchar(30) NOT NULL: a collation only from 7.1 on.
        const bool tds72 = c.sent >= 0x72000000;
        client.sendBatch("select spid, status from sys.sysprocesses where spid = 51", 4096, tds72);
        RawMessage reply = client.readMessage();
        std::string userType = tds72 ? std::string(4, '\0') : std::string(2, '\0');
        std::string expected = std::string("\x81\x02\x00", 3) + userType +
                               std::string("\x00\x00\x34\x04s\0p\0i\0d\0", 12) + userType +
                               std::string("\x00\x00\xEF\x3C\x00", 5) +
                               (c.collations ? std::string(kCollationBytes, 5) : "") +
                               std::string("\x06s\0t\0a\0t\0u\0s\0", 13) + "\xD1\x33\x00";
        EXPECT_EQ(reply.payload.substr(0, expected.size()), expected) << std::hex << c.sent;
    }
}

TEST(TdsSimRaw, ErrorsCarryTheirLineWithinTheBatch) {
    TdsSimProcess sim("demo");
    RawTdsClient client(sim.port());
    client.login("sa", "Sim-Admin-1");
    struct Case {
        const char* batch;
        std::int32_t number;
        int line;
    };
    const Case cases[] = {
        {"select 1\r\nselect 2\r\nKILL 999", 6106, 3},
        {"KILL 999", 6106, 1},
        {"\n\n  KILL 999", 6106, 3},
        {"select 1; KILL 999", 6106, 1},
        {"select 1;\nselect 2;\n\nKILL 999;", 6106, 4},
        {"select 1\n\nselect spid from sysprocesses where nosuch = 1", 207, 3},
        {"select 1\nselect 2\nselect nosuch()", 102, 3}, // stops the batch, still its line
    };
    for (const Case& c : cases) {
        client.sendBatch(c.batch);
        EXPECT_EQ(errorLine(client.readMessage(), c.number), c.line) << c.batch;
    }
}

TEST(TdsSimRaw, NotNullColumnsGoOutWithFixedLengthTypes) {
    TdsSimProcess sim("demo");
    RawTdsClient client(sim.port());
    client.login("sa", "Sim-Admin-1");
    struct Case {
        const char* statement;
        std::uint16_t flags; // 1: nullable
        std::string typeInfo;
    };
    const Case cases[] = {
        {kProcessQuery, 0, "\x34"},                                  // spid smallint
        {"select blocked from master..sysprocesses", 1, "\x26\x02"}, // may be NULL
        {"select waittime from sysprocesses", 0, "\x7F"},
        {"select cpu from sysprocesses", 0, "\x38"},
        {"select login_time from sysprocesses", 0, "\x3D"},
        {"select page_resource from sysprocesses", 1, std::string("\xAD\x08\x00", 3)},
        {"select dbid, name from master.dbo.sysdatabases", 0, "\x34"},
        {"select 1", 0, "\x38"},
        {"select @@spid", 0, "\x34"},
        {"select @@max_precision", 0, "\x30"},
        {"select IS_SRVROLEMEMBER('sysadmin')", 1, "\x26\x04"}, // NULL for an unknown role
    };
    for (const Case& c : cases) {
        client.sendBatch(c.statement);
        RawMessage reply = client.readMessage();
        ASSERT_EQ(reply.payload.substr(0, 1), "\x81") << c.statement;
        const std::string column = reply.payload.substr(7, 2 + c.typeInfo.size());
        EXPECT_EQ(column, std::string(1, static_cast<char>(c.flags)) + '\0' + c.typeInfo)
            << c.statement;
    }
}

TEST(TdsSimRaw, ClientAskingForEncryptionFromAClearServerIsNotLoggedAsGone) {
    // Some clients log in anyway after the server said "not supported".
    TdsSimProcess sim("demo");
    std::vector<std::unique_ptr<RawTdsClient>> open; // both stay connected
    for (char asked : {'\x01', '\x03'}) {
        RawTdsClient& client = *open.emplace_back(std::make_unique<RawTdsClient>(sim.port()));
        RawMessage reply = client.prelogin(preloginWith({0x00, 0x01}, asked));
        EXPECT_EQ(reply.payload[optionTable(reply.payload).at(1).offset], '\x02');
        client.sendLogin7("sa", "Sim-Admin-1");
        EXPECT_NE(client.readMessage().payload.find('\xAD'), std::string::npos);
        client.sendBatch("select 1");
        EXPECT_EQ(RawTdsClient::finalDoneRows(client.readMessage()), 1u);
    }
    sim.waitForLog(
        [](const auto& e) { return e.at("event") == "login-ok" && e.at("conn") == "2"; });
    for (const auto& e : sim.logEntries()) {
        EXPECT_NE(e.at("event"), "disconnect") << "nobody has left yet";
    }
}
