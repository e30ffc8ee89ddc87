// The exporter process against a server whose deadlock reports are hostile: one of two
// gigabytes, one dated a day ahead of the server's clock. The exporter stays small, counts
// them, says what is wrong with them once and goes on counting the ones after.
#include "../config/TempFolder.h"
#include "ExporterProcess.h"
#include "HttpClient.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iostream>

namespace {

using namespace exportertest;
using tallyvane::testsupport::SpinUntil;
using tallyvane::testsupport::TdsSimProcess;

// The peak resident memory of a process, in MiB (VmHWM); -1 when it cannot be read.
long PeakResidentMiB(qint64 pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6)) / 1024;
    return -1;
}

TEST(ExporterDeadlocks, HugeAndMisdatedReportsAreCountedAndSaidOnce) {
    TTempFolder folder;
    WriteFile(folder.File("quiet.ini"), QuietScenario());
    TdsSimProcess sim(folder.File("quiet.ini"), 1);
    WriteFile(folder.File("servers.ini"), Section("SQL-A", sim.oledbConnectionString(0)));
    WriteFile(folder.File("tallyvane.ini"), "[Settings]\r\nAutoRefreshInterval=1\r\n");
    TServingExporter exporter({"--servers", folder.File("servers.ini"), "--settings",
                               folder.File("tallyvane.ini"), "--deadlock-interval", "1"});
    ASSERT_NE(exporter.Port, 0) << exporter.Log();
    TClient client(quint16(exporter.Port));
    const std::string deadlocks = "tallyvane_deadlocks_total{server=\"SQL-A\"}";
    const auto waitFor = [&](double count) {
        std::string page;
        SpinUntil(
            [&] {
                page = client.Get("/metrics").Body;
                return SeriesValue(page, deadlocks) == count;
            },
            std::chrono::seconds(30));
        return SeriesValue(page, deadlocks);
    };
    // The first read learns the server's clock: wait until it has been asked.
    ASSERT_TRUE(SpinUntil(
        [&] {
            for (const std::string& line : sim.logLines())
                if (line.find("sysutcdatetime(), 126)\"") != std::string::npos)
                    return true;
            return false;
        },
        std::chrono::seconds(30)));

    sim.control("deadlock 0 51 52 pad=1073741824");
    ASSERT_EQ(waitFor(1), 1) << exporter.Log();
    ASSERT_TRUE(
        SpinUntil([&] { return exporter.Log().find("report too large") != std::string::npos; },
                  std::chrono::seconds(30)));
    EXPECT_EQ(exporter.Log().find("VIEW SERVER STATE"), std::string::npos) << exporter.Log();
    // Not a target, a fault check: reading the report whole would take gigabytes.
    const long peak = PeakResidentMiB(exporter.Process.processId());
    std::cout << "exporter peak resident memory with a 2 GB report on the server: " << peak
              << " MiB\n";
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 512);

    sim.control("deadlock 0 51 52 ahead=86400");
    ASSERT_EQ(waitFor(2), 2) << exporter.Log();
    sim.control("deadlock 0 53 54");
    ASSERT_EQ(waitFor(3), 3) << "a report after the one dated ahead is still read\n"
                             << exporter.Log();
    sim.control("deadlock 0 53 54 ahead=86400");
    sim.control("deadlock 0 55 56");
    ASSERT_EQ(waitFor(5), 5) << exporter.Log();
    const std::string log = exporter.Log();
    std::size_t said = 0;
    for (std::size_t at = 0;
         (at = log.find("ahead of the server's clock", at)) != std::string::npos; ++at)
        ++said;
    EXPECT_EQ(said, 1u) << log;
    std::cout << log;
    EXPECT_EQ(exporter.Stop(), 0);
}

} // namespace
