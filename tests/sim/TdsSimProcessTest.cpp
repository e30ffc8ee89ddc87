// The test-support library against the real tdssim: start on free ports, control port, log.
#include "TdsSimProcess.h"

#include <arpa/inet.h>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
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

TEST(TdsSimProcess, TenThousandInstancesStartWhateverTheSoftLimitOnOpenFiles) {
    // A soft limit far below what the instances need: tdssim raises it to the hard limit.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < 10000 + 64) {
        GTEST_SKIP() << "the hard limit on open files is " << saved.rlim_max;
    }
    rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::unique_ptr<TdsSimProcess> sim;
    try {
        sim = std::make_unique<TdsSimProcess>("demo", 10000, std::chrono::seconds(120));
    } catch (...) {
        setrlimit(RLIMIT_NOFILE, &saved);
        throw;
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_EQ(sim->ports().size(), 10000u);
    EXPECT_TRUE(canConnect(sim->port(0)));
    EXPECT_TRUE(canConnect(sim->port(9999)));
    EXPECT_EQ(sim->controlList("instances").size(), 10000u);
}

TEST(TdsSimProcess, TooFewOpenFilesForTheInstancesIsAClearError) {
    struct Case {
        const char* Limit;
        const char* Instances;
        int Status;
        const char* Says;
    };
    const Case cases[] = {
        {"300", "1000", 1, "1000 instances need at least 1064 open files"},
        {"1000", "10001", 2, "--instances needs a number from 1 to 10000"},
        // Room for the listening sockets but not for a client each: it runs, and says so.
        {"1200", "1000", -1, "leaves room for 136 clients at once"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Instances);
        const std::string command = "ulimit -n " + std::string(c.Limit) + " && exec timeout 20 " +
                                    TdsSimProcess::executablePath() +
                                    " --port 0 --scenario demo --instances " + c.Instances +
                                    " 2>&1 >/dev/null & sleep 3; kill $! 2>/dev/null; wait $!";
        FILE* out = popen(("sh -c '" + command + "'").c_str(), "r");
        ASSERT_NE(out, nullptr);
        std::string text;
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, out) != nullptr) {
            text += buffer;
        }
        const int status = pclose(out);
        EXPECT_NE(text.find(c.Says), std::string::npos) << text;
        if (c.Status >= 0) {
            EXPECT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), c.Status);
        }
    }
}
