#include "FleetMetrics.h"

#include <functional>

namespace {

using TServers = std::vector<TServerReport>;

TMetricFamily Family(std::string name, std::string help, TMetricType type = TMetricType::Gauge) {
    TMetricFamily family;
    family.Name = std::move(name);
    family.Help = std::move(help);
    family.Type = type;
    if (family.Name.ends_with("_seconds")) {
        family.Unit = "seconds";
    }
    return family;
}

// One sample per server that the predicate admits, valued by the function.
TMetricFamily PerServer(TMetricFamily family, const TServers& servers,
                        const std::function<bool(const TServerReport&)>& admit,
                        const std::function<double(const TServerReport&)>& value) {
    family.Samples.reserve(servers.size());
    for (const TServerReport& server : servers) {
        if (admit(server)) {
            family.Samples.push_back({{{"server", server.Label}}, value(server)});
        }
    }
    return family;
}

bool Always(const TServerReport&) {
    return true;
}
bool IsUp(const TServerReport& s) {
    return s.Up;
}
bool HasPolled(const TServerReport& s) {
    return s.Polled;
}

} // namespace

std::vector<TMetricFamily> CollectFleetMetrics(const TServers& servers,
                                               const TExporterFacts& facts) {
    std::vector<TMetricFamily> out;
    out.push_back(PerServer(
        Family("tallyvane_up", "1 when the last poll of the server read its process list, "
                               "else 0 (also before the first poll completes)."),
        servers, Always, [](const TServerReport& s) { return s.Up ? 1.0 : 0.0; }));

    TMetricFamily reason = Family(
        "tallyvane_down_reason",
        "1 for the reason why a server is down: login_required, login_failed, connect_failed, "
        "query_failed or no_view_server_state. Present only while the server is down for a known "
        "reason.");
    for (const TServerReport& server : servers) {
        if (!server.Up && server.Reason != TDownReason::None) {
            reason.Samples.push_back(
                {{{"server", server.Label}, {"reason", DownReasonLabel(server.Reason)}}, 1});
        }
    }
    out.push_back(std::move(reason));

    TMetricFamily info =
        Family("tallyvane_server_info",
               "1 for each server whose kind is known: edition is sql_server, azure_sql_database, "
               "azure_sql_managed_instance or rds, version its ProductVersion.");
    for (const TServerReport& server : servers) {
        if (!server.Edition.empty()) {
            info.Samples.push_back({{{"server", server.Label},
                                     {"edition", server.Edition},
                                     {"version", server.Version}},
                                    1});
        }
    }
    out.push_back(std::move(info));

    out.push_back(PerServer(Family("tallyvane_sessions", "Sessions (SPIDs) in the last snapshot."),
                            servers, IsUp,
                            [](const TServerReport& s) { return double(s.Figures.Sessions); }));
    out.push_back(PerServer(
        Family("tallyvane_blocked_sessions",
               "Sessions waiting for another session (or a negative blocker such as an orphaned "
               "distributed transaction) in the last snapshot."),
        servers, IsUp, [](const TServerReport& s) { return double(s.Figures.BlockedSessions); }));
    out.push_back(PerServer(
        Family("tallyvane_head_blockers",
               "Sessions that block another session and wait for none, in the last snapshot."),
        servers, IsUp, [](const TServerReport& s) { return double(s.Figures.HeadBlockers); }));
    out.push_back(PerServer(
        Family("tallyvane_longest_block_wait_seconds",
               "The longest wait of a blocked session in the last snapshot (0 when none)."),
        servers, IsUp,
        [](const TServerReport& s) { return double(s.Figures.LongestBlockWaitMs) / 1000.0; }));
    out.push_back(
        PerServer(Family("tallyvane_blocked_wait_seconds",
                         "The waits of all blocked sessions of the last snapshot, added up."),
                  servers, IsUp,
                  [](const TServerReport& s) { return double(s.Figures.BlockedWaitMs) / 1000.0; }));
    out.push_back(PerServer(
        Family("tallyvane_blocking_episodes_total",
               "Blocking episodes that began since the exporter started: a head blocker "
               "whose blocked sessions waited at least the warning threshold.",
               TMetricType::Counter),
        servers, Always, [](const TServerReport& s) { return double(s.BlockingEpisodes); }));
    out.push_back(
        PerServer(Family("tallyvane_deadlocks_total",
                         "Deadlock reports read from the server's system_health session since the "
                         "exporter started.",
                         TMetricType::Counter),
                  servers, Always, [](const TServerReport& s) { return double(s.Deadlocks); }));
    out.push_back(PerServer(
        Family("tallyvane_lock_waits_total",
               "Lock waits (the server's sys.dm_os_wait_stats, LCK_M_ wait types) counted since "
               "the exporter started, also those shorter than a poll; read with the deadlock "
               "reports.",
               TMetricType::Counter),
        servers, Always, [](const TServerReport& s) { return double(s.LockWaits); }));
    out.push_back(PerServer(
        Family("tallyvane_lock_wait_seconds_total", "The wait time of those lock waits, added up.",
               TMetricType::Counter),
        servers, Always, [](const TServerReport& s) { return double(s.LockWaitMs) / 1000.0; }));
    out.push_back(PerServer(
        Family("tallyvane_poll_duration_seconds",
               "How long the last completed poll took, from its start to its snapshot or error."),
        servers, HasPolled, [](const TServerReport& s) { return s.LastPollSeconds; }));
    out.push_back(PerServer(
        Family("tallyvane_last_poll_timestamp_seconds",
               "When the last poll of the server completed, successful or not (Unix time)."),
        servers, HasPolled, [](const TServerReport& s) { return s.LastPollTimestamp; }));
    out.push_back(
        PerServer(Family("tallyvane_poll_errors_total",
                         "Polls that failed since the exporter started.", TMetricType::Counter),
                  servers, Always, [](const TServerReport& s) { return double(s.PollErrors); }));

    TMetricFamily threshold =
        Family("tallyvane_warning_threshold_seconds",
               "The warning threshold of the settings (WarningTimeout): a blocked session that "
               "waits this long is worth an alert.");
    threshold.Samples.push_back({{}, facts.WarningThresholdSeconds});
    out.push_back(std::move(threshold));

    TMetricFamily interval = Family("tallyvane_poll_interval_seconds",
                                    "The poll interval of the settings (AutoRefreshInterval).");
    interval.Samples.push_back({{}, facts.PollIntervalSeconds});
    out.push_back(std::move(interval));

    TMetricFamily build =
        Family("tallyvane_build_info", "The exporter's version; always 1.", TMetricType::Info);
    build.Samples.push_back({{{"version", facts.Version}}, 1});
    out.push_back(std::move(build));
    return out;
}
