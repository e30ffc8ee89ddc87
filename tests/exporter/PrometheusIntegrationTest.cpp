// Debian's Prometheus scrapes the exporter, which watches simulated servers with known
// blocking and deadlocks; Prometheus' HTTP API must then give the scenario's figures. Prometheus
// starts on the loopback with its own configuration and data folder, and is stopped at the end.
#include "../config/TempFolder.h"
#include "ExporterProcess.h"
#include "HttpClient.h"
#include "PrometheusProcess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTcpServer>
#include <QUrl>
#include <gtest/gtest.h>
#include <map>

namespace {

using namespace exportertest;
using tallyvane::testsupport::SpinUntil;
using tallyvane::testsupport::TdsSimProcess;

TEST(PrometheusIntegration, PrometheusStoresTheBlockingOfTheScenario) {
    const QString prometheus = QStandardPaths::findExecutable("prometheus");
    if (prometheus.isEmpty()) {
        GTEST_SKIP() << "Prometheus is not installed (Debian package prometheus, which "
                        "scripts/install-deps.sh installs): the scrape by a real Prometheus is "
                        "not checked";
    }
    TTempFolder folder;
    WriteFile(folder.File("quiet.ini"), QuietScenario());
    TdsSimProcess sim(folder.File("quiet.ini"), 3);
    sim.block(0, 52, 51);
    sim.block(0, 53, 51);
    sim.block(2, 53, 52);
    sim.block(2, 54, 53);
    sim.block(2, 56, 55);
    WriteFile(folder.File("servers.ini"), Section("SQL-A", sim.oledbConnectionString(0)) +
                                              Section("SQL-B", sim.oledbConnectionString(1)) +
                                              Section("SQL-C", sim.oledbConnectionString(2)));
    WriteFile(folder.File("tallyvane.ini"), "[Settings]\r\nAutoRefreshInterval=1\r\n");
    TServingExporter exporter({"--servers", folder.File("servers.ini"), "--settings",
                               folder.File("tallyvane.ini"), "--deadlock-interval", "1"});
    ASSERT_NE(exporter.Port, 0) << exporter.Log();

    TPrometheus server(prometheus, folder,
                       "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                       "rule_files:\n  - " TALLYVANE_RULES_FILE "\n"
                       "scrape_configs:\n  - job_name: tallyvane\n    static_configs:\n"
                       "      - targets: ['127.0.0.1:" +
                           std::to_string(exporter.Port) + "']\n");
    ASSERT_TRUE(server.WaitReady()) << server.Output();

    // The first samples take a few scrapes to become queryable.
    const std::map<std::string, double> expected = {{"SQL-A", 2}, {"SQL-B", 0}, {"SQL-C", 3}};
    std::map<std::string, double> blocked;
    SpinUntil(
        [&] {
            blocked = server.Query("tallyvane_blocked_sessions", "server");
            return blocked == expected;
        },
        std::chrono::seconds(60));
    EXPECT_EQ(blocked, expected) << server.Output();
    EXPECT_EQ(server.Query("tallyvane_head_blockers", "server"),
              (std::map<std::string, double>{{"SQL-A", 1}, {"SQL-B", 0}, {"SQL-C", 2}}));
    // The scrape itself succeeded, in the format Prometheus asked for.
    EXPECT_EQ(server.Query("up{job=\"tallyvane\"}", "job"),
              (std::map<std::string, double>{{"tallyvane", 1}}));
    EXPECT_EQ(server.Query("scrape_samples_post_metric_relabeling", "job").size(), 1u);
    // The shipped rules load and are evaluated against the scraped series.
    SpinUntil([&] { return !server.Query("ALERTS", "alertname").empty(); },
              std::chrono::seconds(20));
    EXPECT_EQ(server.Query("ALERTS{alertname=\"TallyvaneBlocking\"}", "server").size(), 2u)
        << "pending blocking alerts for SQL-A and SQL-C";

    // Deadlocks on SQL-B after the exporter started: counted once each, and alerted.
    const std::map<std::string, double> none = {{"SQL-A", 0}, {"SQL-B", 0}, {"SQL-C", 0}};
    EXPECT_EQ(server.Query("tallyvane_deadlocks_total", "server"), none);
    sim.control("deadlock 1 51 52 victim=52 count=2");
    const std::map<std::string, double> two = {{"SQL-A", 0}, {"SQL-B", 2}, {"SQL-C", 0}};
    std::map<std::string, double> deadlocks;
    SpinUntil(
        [&] {
            deadlocks = server.Query("tallyvane_deadlocks_total", "server");
            return deadlocks == two;
        },
        std::chrono::seconds(60));
    EXPECT_EQ(deadlocks, two) << exporter.Log();
    SpinUntil(
        [&] { return !server.Query("ALERTS{alertname=\"TallyvaneDeadlocks\"}", "server").empty(); },
        std::chrono::seconds(20));
    EXPECT_EQ(server.Query("ALERTS{alertname=\"TallyvaneDeadlocks\"}", "server").count("SQL-B"),
              1u);
    // Further reads of SQL-B take nothing twice.
    auto reads = [&] {
        int n = 0;
        for (const auto& entry : sim.logEntries())
            n += entry.at("instance") == "1" && entry.at("event") == "batch" &&
                 entry.at("text").find("dm_xe_sessions") != std::string::npos;
        return n;
    };
    const int readsSoFar = reads();
    ASSERT_TRUE(SpinUntil([&] { return reads() >= readsSoFar + 2; }, std::chrono::seconds(20)));
    TClient client(quint16(exporter.Port));
    EXPECT_EQ(
        SeriesValue(client.Get("/metrics").Body, "tallyvane_deadlocks_total{server=\"SQL-B\"}"), 2);
}

} // namespace
