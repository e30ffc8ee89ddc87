// The Grafana dashboard we ship: Grafana is no Debian package, so every panel's expression is
// handed to the real Prometheus that scrapes the exporter watching the demo (and a server that
// refuses connections, so that "why down" has something to say). Each must parse and return
// data. The dashboard's own variables are replaced as Grafana would: every server, a rate
// interval of a minute.
#include "PrometheusProcess.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <gtest/gtest.h>

namespace {

using namespace exportertest;
using tallyvane::testsupport::TdsSimProcess;

struct TPanelQuery {
    std::string Panel;
    std::string Expression;
};

std::vector<TPanelQuery> DashboardQueries(const QJsonObject& dashboard) {
    std::vector<TPanelQuery> queries;
    for (const QJsonValue& panel : dashboard["panels"].toArray())
        for (const QJsonValue& target : panel.toObject()["targets"].toArray())
            queries.push_back({panel.toObject()["title"].toString().toStdString(),
                               target.toObject()["expr"].toString().toStdString()});
    return queries;
}

std::string Substituted(std::string expression) {
    const std::pair<std::string, std::string> variables[] = {{"$server", ".+"},
                                                             {"$__rate_interval", "1m"}};
    for (const auto& [name, value] : variables)
        for (std::size_t at; (at = expression.find(name)) != std::string::npos;)
            expression.replace(at, name.size(), value);
    return expression;
}

TEST(GrafanaDashboard, HasTheVariablesAndPanelsAFleetNeeds) {
    QFile file(QStringLiteral(TALLYVANE_DASHBOARD_FILE));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QJsonParseError error{};
    const QJsonObject dashboard = QJsonDocument::fromJson(file.readAll(), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    std::vector<std::string> variables;
    for (const QJsonValue& v : dashboard["templating"].toObject()["list"].toArray())
        variables.push_back(v.toObject()["type"].toString().toStdString() + ":" +
                            v.toObject()["name"].toString().toStdString());
    EXPECT_EQ(variables, (std::vector<std::string>{"datasource:datasource", "query:server"}));
    std::string all;
    for (const TPanelQuery& q : DashboardQueries(dashboard)) {
        all += q.Expression + "\n";
        // The two settings have no server label; every other series follows the variable.
        const bool setting = q.Expression.find("_threshold_") != std::string::npos ||
                             q.Expression.find("_interval_") != std::string::npos;
        if (!setting) {
            EXPECT_NE(q.Expression.find("server=~\"$server\""), std::string::npos) << q.Panel;
        }
    }
    for (const char* metric :
         {"tallyvane_up", "tallyvane_down_reason", "tallyvane_blocked_sessions",
          "tallyvane_head_blockers", "tallyvane_blocked_wait_seconds",
          "tallyvane_longest_block_wait_seconds", "tallyvane_deadlocks_total",
          "tallyvane_lock_waits_total", "tallyvane_lock_wait_seconds_total",
          "tallyvane_poll_duration_seconds"})
        EXPECT_NE(all.find(metric), std::string::npos) << metric;
}

TEST(GrafanaDashboard, EveryPanelsExpressionParsesAndReturnsDataFromTheDemo) {
    const QString prometheus = QStandardPaths::findExecutable("prometheus");
    if (prometheus.isEmpty())
        GTEST_SKIP() << "Prometheus is not installed (Debian package prometheus): the "
                        "dashboard's expressions are not checked";
    QFile file(QStringLiteral(TALLYVANE_DASHBOARD_FILE));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const std::vector<TPanelQuery> queries =
        DashboardQueries(QJsonDocument::fromJson(file.readAll()).object());
    ASSERT_GE(queries.size(), 10u);

    TTempFolder folder;
    TdsSimProcess sim("demo");
    WriteFile(folder.File("servers.ini"),
              Section("PROD-SQL01", sim.oledbConnectionString(0)) +
                  Section("DR-SQL03",
                          "Provider=SQLOLEDB.1;Data Source=127.0.0.1,1;User ID=sa;Password=x;"
                          "Persist Security Info=True"));
    WriteFile(folder.File("tallyvane.ini"), "[Settings]\r\nAutoRefreshInterval=1\r\n");
    TServingExporter exporter({"--servers", folder.File("servers.ini"), "--settings",
                               folder.File("tallyvane.ini"), "--deadlock-interval", "1"});
    ASSERT_NE(exporter.Port, 0) << exporter.Log();
    TPrometheus server(prometheus, folder,
                       "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                       "scrape_configs:\n  - job_name: tallyvane\n    static_configs:\n"
                       "      - targets: ['127.0.0.1:" +
                           std::to_string(exporter.Port) + "']\n");
    ASSERT_TRUE(server.WaitReady()) << server.Output();

    // The lock-wait time grows under the demo's blocking.
    double first = -1;
    ASSERT_TRUE(SpinUntil(
        [&] {
            const auto v = server.Query("tallyvane_lock_wait_seconds_total", "server");
            if (!v.count("PROD-SQL01"))
                return false;
            if (first < 0)
                first = v.at("PROD-SQL01");
            return v.at("PROD-SQL01") > first;
        },
        std::chrono::seconds(60)))
        << exporter.Log();

    for (const TPanelQuery& q : queries) {
        const std::string expression = Substituted(q.Expression);
        QJsonObject answer;
        // A rate needs two samples in its window; give every expression the same minute.
        SpinUntil(
            [&] {
                answer = server.Answer(expression);
                return answer["status"].toString() != "success" ||
                       !answer["data"].toObject()["result"].toArray().isEmpty();
            },
            std::chrono::seconds(30));
        EXPECT_EQ(answer["status"].toString().toStdString(), "success")
            << q.Panel << ": " << expression << ": " << answer["error"].toString().toStdString();
        EXPECT_FALSE(answer["data"].toObject()["result"].toArray().isEmpty())
            << q.Panel << ": " << expression << " returned no data";
    }
}

} // namespace
