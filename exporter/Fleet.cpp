#include "Fleet.h"

#include "OleException.h"
#include "Settings.h"
#include "UiHooks.h"

#include <chrono>
#include <map>

namespace {

// SQL Server's "Login failed for user" error.
constexpr std::int32_t LoginFailedError = 18456;

double UnixNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

} // namespace

const char* DownReasonLabel(TDownReason reason) {
    switch (reason) {
    case TDownReason::None:
        return "";
    case TDownReason::LoginRequired:
        return "login_required";
    case TDownReason::LoginFailed:
        return "login_failed";
    case TDownReason::ConnectFailed:
        return "connect_failed";
    case TDownReason::QueryFailed:
        return "query_failed";
    case TDownReason::NoViewServerState:
        return "no_view_server_state";
    }
    return "";
}

TFleet::TFleet(const std::vector<TServerInfo>& servers, const TShard& shard, std::ostream& log)
    : Log(log) {
    // Headless: a server without credentials is down, never a prompt.
    LoginDialog = [](const std::string&, std::string&, std::string&) { return false; };
    std::map<std::string, int> seen; // labels handed out, exactly as written
    for (const TServerInfo& info : servers) {
        if (!info.Enabled || !InShard(info.Name, shard)) {
            continue;
        }
        auto server = std::make_unique<TFleetServer>();
        server->Info = info;
        server->Label = info.Name;
        for (int n = 2; seen.count(server->Label) != 0; ++n) {
            server->Label = info.Name + " (" + std::to_string(n) + ")";
        }
        if (server->Label != info.Name) {
            Log << info.Name << ": the server list names it more than once; this one is labelled \""
                << server->Label << "\"\n";
        }
        seen[server->Label] = 1;
        try {
            // The monitor names its server by the label in its reports, so that servers of
            // the same name stay apart.
            TServerInfo labelled = info;
            labelled.Name = server->Label;
            server->Monitor = std::make_unique<TServerData>(*this, labelled);
            if (!server->Monitor->Enabled && server->Monitor->NeedsLogin) {
                server->Reason = TDownReason::LoginRequired;
                server->Message = "its connection string saves no credentials, and the exporter "
                                  "never asks for them: give User ID and Password with "
                                  "Persist Security Info=True";
            }
        } catch (const std::exception& e) {
            server->Monitor.reset();
            server->Reason = TDownReason::ConnectFailed;
            server->Message = e.what();
        }
        if (server->Reason != TDownReason::None) {
            Log << server->Label << ": not watched (" << DownReasonLabel(server->Reason)
                << "): " << server->Message << '\n';
        }
        if (server->Monitor) {
            ByMonitor[server->Monitor.get()] = server.get();
        }
        ByLabel[server->Label] = server.get();
        server->Episodes = std::make_unique<TEpisodeDetector>(server->Label);
        List.push_back(std::move(server));
    }
    PollTimer.setTimerType(Qt::CoarseTimer);
    connect(&PollTimer, &QTimer::timeout, this, [this] { PollAll(); });
}

TFleet::~TFleet() {
    PollTimer.stop();
    // Monitors go first: their destructors may still report to this owner.
    for (auto& server : List) {
        server->Monitor.reset();
    }
}

void TFleet::Start(unsigned intervalSeconds) {
    PollTimer.setInterval(std::chrono::seconds(intervalSeconds == 0 ? 1 : intervalSeconds));
    PollTimer.start();
    PollAll();
}

void TFleet::Stop() {
    PollTimer.stop();
}

void TFleet::ReadDeadlocks(std::chrono::seconds interval) {
    for (auto& server : List) {
        if (server->Monitor) {
            server->Monitor->ReadsDeadlocks = true;
            server->Monitor->DeadlockReadInterval = interval;
        }
    }
}

void TFleet::PollAll() {
    for (auto& server : List) {
        TServerData* monitor = server->Monitor.get();
        if (!monitor || !monitor->Enabled || monitor->Busy || server->Polling) {
            continue;
        }
        // A server whose connects fail is polled less often; it stays reported as down.
        monitor->Reconnect.SetInterval(
            std::chrono::duration_cast<std::chrono::milliseconds>(PollTimer.intervalAsDuration()));
        if (!monitor->Reconnect.Due()) {
            continue;
        }
        server->Polling = true;
        server->PollStart = std::chrono::steady_clock::now();
        server->PollReason = TDownReason::None;
        server->PollMessage.clear();
        monitor->Refresh();
    }
    if (Idle()) {
        emit AllPolled();
    }
}

std::vector<TServerReport> TFleet::Reports() const {
    std::vector<TServerReport> reports;
    reports.reserve(List.size());
    for (const auto& server : List) {
        reports.push_back(*server);
        if (server->Monitor) {
            // Counted by the monitor across reconnects and server restarts: never goes down.
            reports.back().LockWaits = server->Monitor->LockWaits.Waits;
            reports.back().LockWaitMs = server->Monitor->LockWaits.WaitMs;
        }
    }
    return reports;
}

bool TFleet::Idle() const {
    for (const auto& server : List) {
        if (server->Polling) {
            return false;
        }
    }
    return true;
}

void TFleet::ServerChanged(TServerData& monitor) {
    const auto found = ByMonitor.find(&monitor);
    if (found == ByMonitor.end()) {
        return;
    }
    TFleetServer& server = *found->second;
    // A poll ends when the monitor is no longer busy: with a snapshot, or with State 2.
    if (server.Polling && !monitor.Busy) {
        PollCompleted(server);
    }
}

void TFleet::DeadlocksRead(TServerData& monitor, const std::vector<TDeadlockReport>& reports) {
    const auto found = ByMonitor.find(&monitor);
    if (found == ByMonitor.end()) {
        return;
    }
    found->second->Deadlocks += reports.size();
    emit Changed();
}

bool TFleet::Warn(TServerData& /*server*/) {
    // Alerting is the job of the rules that read the metrics.
    return false;
}

void TFleet::LogError(const std::string& serverName, const std::exception& error) {
    const auto found = ByLabel.find(serverName);
    if (found == ByLabel.end()) {
        return;
    }
    TFleetServer& server = *found->second;
    if (!server.Polling || !server.Monitor) {
        Log << server.Label << ": " << error.what() << '\n';
        return;
    }
    if (server.PollReason != TDownReason::None) {
        return; // the first error of a poll says why it failed
    }
    const auto* database = dynamic_cast<const EOleException*>(&error);
    TDbConnection& connection = server.Monitor->ADOConnection;
    if (database && database->ErrorCode == LoginFailedError) {
        server.PollReason = TDownReason::LoginFailed;
    } else if (!connection.Connecting() && connection.Connected()) {
        // The monitor reports a failed query before it disconnects, a failed connect after.
        server.PollReason = TDownReason::QueryFailed;
    } else {
        server.PollReason = TDownReason::ConnectFailed;
    }
    server.PollMessage = error.what();
}

void TFleet::PollCompleted(TFleetServer& server) {
    const bool wasUp = server.Polled && server.Up;
    const std::string oldMessage = server.Message;
    server.Polling = false;
    server.Polled = true;
    server.LastPollSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - server.PollStart).count();
    server.LastPollTimestamp = UnixNow();
    TServerData& monitor = *server.Monitor;
    if (monitor.State != 2) {
        server.Up = true;
        server.Reason = TDownReason::None;
        server.Message.clear();
        server.Edition = EditionLabel(monitor.Edition);
        server.Version = monitor.ProductVersion;
        server.Figures = ComputeServerFigures(monitor.Analysis());
        // The threshold is read now, as the monitor's warning rule reads it.
        server.Episodes->Observe(monitor.Analysis(), static_cast<std::int32_t>(WarningTimeout));
    } else {
        server.Up = false;
        ++server.PollErrors;
        if (monitor.SeesOnlyOwnSession) {
            server.Reason = TDownReason::NoViewServerState;
            server.Message = monitor.OwnSessionOnlyText();
        } else {
            server.Reason = server.PollReason == TDownReason::None ? TDownReason::QueryFailed
                                                                   : server.PollReason;
            server.Message = server.PollMessage;
        }
        server.Figures = {};
        // An episode cannot be followed through a failed poll: it ends there.
        server.Episodes->ServerLost();
    }
    server.BlockingEpisodes = server.Episodes->StartedCount();
    Report(server, wasUp, oldMessage);
    emit Changed();
    if (Idle()) {
        emit AllPolled();
    }
}

void TFleet::Report(const TFleetServer& server, bool wasUp, const std::string& oldMessage) {
    if (server.Up && !wasUp) {
        Log << server.Label << ": up\n";
    } else if (!server.Up && (wasUp || server.Message != oldMessage)) {
        Log << server.Label << ": down (" << DownReasonLabel(server.Reason)
            << "): " << server.Message << '\n';
    }
    Log.flush();
}
