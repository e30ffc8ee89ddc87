// The test-support library against the real tdssim: start on free ports, control port, log.
#include "TdsSimProcess.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using tallyvane::testsupport::SimLogEntry;
using tallyvane::testsupport::TdsSimError;
using tallyvane::testsupport::TdsSimProcess;

namespace {

bool canConnect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

} // namespace

TEST(TdsSimProcess, StartsInstancesOnDistinctPortsAndStopsCleanly) {
    TdsSimProcess sim("edge", 3);
    ASSERT_EQ(sim.ports().size(), 3u);
    EXPECT_NE(sim.port(0), sim.port(1));
    EXPECT_NE(sim.port(1), sim.port(2));
    for (int p : sim.ports()) {
        EXPECT_TRUE(canConnect(p));
    }
    std::vector<std::string> instances = sim.controlList("instances");
    ASSERT_EQ(instances.size(), 3u);
    EXPECT_EQ(instances[1], "1 " + std::to_string(sim.port(1)) + " none");
    EXPECT_EQ(sim.stop(), 0); // SIGTERM ends it with status 0
    EXPECT_FALSE(canConnect(sim.port(0)));
}

TEST(TdsSimProcess, FaultsSwitchPerInstance) {
    TdsSimProcess sim("demo", 2);
    sim.setFault(1, "refuse");
    EXPECT_TRUE(canConnect(sim.port(0)));
    EXPECT_FALSE(canConnect(sim.port(1)));
    EXPECT_EQ(sim.control("faults 1"), "OK refuse");
    sim.clearFaults();
    EXPECT_TRUE(canConnect(sim.port(1)));
    EXPECT_THROW(sim.setFault(0, "no-such-fault"), TdsSimError);
    EXPECT_THROW(sim.control("faults 7"), TdsSimError);
}

TEST(TdsSimProcess, LogRecordsConnections) {
    TdsSimProcess sim("demo");
    ASSERT_TRUE(canConnect(sim.port()));
    SimLogEntry e =
        sim.waitForLog([](const SimLogEntry& x) { return x.at("event") == "disconnect"; });
    EXPECT_EQ(e.at("port"), std::to_string(sim.port()));
    EXPECT_EQ(e.at("conn"), "1");
}

TEST(TdsSimProcess, BadScenarioFailsToStartWithTheReason) {
    try {
        TdsSimProcess sim("/nonexistent/scenario.ini");
        FAIL() << "started";
    } catch (const TdsSimError& e) {
        EXPECT_NE(std::string(e.what()).find("no built-in scenario"), std::string::npos);
    }
}
