// tdssim's packets and messages as they travel: packet sizes, multi-packet requests and
// replies, attention, faults and hostile input, seen through a bare TDS client.
#include "RawTdsClient.h"
#include "TdsSimProcess.h"

#include <gtest/gtest.h>

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
