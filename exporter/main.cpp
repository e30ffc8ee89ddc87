// tallyvane-exporter: the headless fleet mode. Watches the enabled servers of the server list
// with the desktop program's monitors and serves their blocking figures to Prometheus.
#include "DescriptorBudget.h"
#include "EndpointThread.h"
#include "Errors.h"
#include "ExporterOptions.h"
#include "Exposition.h"
#include "Fleet.h"
#include "MetricsBoard.h"
#include "ServerListFile.h"
#include "Settings.h"
#include "SignalWatcher.h"
#include "TlsFiles.h"
#include "UiHooks.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <iostream>

namespace {

constexpr const char* Version = TALLYVANE_VERSION;
// --once: the metrics are printed, but not every watched server answered.
constexpr int SomeServersDownStatus = 3;

// The desktop program's files, unless the options name others.
void ChooseFiles(const TExporterOptions& options, const char* argv0) {
    const QString program = QCoreApplication::applicationFilePath();
    const QString folder = QFileInfo(program.isEmpty() ? QString(argv0) : program).absolutePath();
    InitFileNames((folder + "/tallyvane").toStdString());
    if (!options.SettingsFile.empty()) {
        SettingsFileName = options.SettingsFile;
    }
    if (!options.ServersFile.empty()) {
        ServersFileName = options.ServersFile;
    }
}

THttpServerConfig EndpointConfig(const TExporterOptions& options) {
    THttpServerConfig config;
    config.Address = QHostAddress(QString::fromStdString(options.ListenHost));
    if (config.Address.isNull()) {
        // A host name: only "localhost" is resolved here, to the loopback.
        if (options.ListenHost != "localhost") {
            throw Exception("--listen needs an IP address (or localhost), not \"" +
                            options.ListenHost + "\"");
        }
        config.Address = QHostAddress::LocalHost;
    }
    config.Port = options.ListenPort;
    if (!options.AuthUser.empty()) {
        config.Auth.emplace(options.AuthUser,
                            TBasicAuth::ReadPasswordFile(options.AuthPasswordFile));
    }
    if (!options.TlsCertFile.empty()) {
        config.Tls = LoadTlsConfiguration(options.TlsCertFile, options.TlsKeyFile);
    }
    config.HandshakeTimeout = std::chrono::milliseconds(options.HandshakeTimeoutMs);
    config.Log = [](const std::string& line) { std::cerr << line << '\n'; };
    return config;
}

int Run(const TExporterOptions& options, const char* argv0) {
    ChooseFiles(options, argv0);
    ShowErrorMessage = [](const std::exception& e) { std::cerr << e.what() << '\n'; };
    // A file named on the command line is meant: a typo must not fall back to the defaults.
    if (!options.ServersFile.empty() && !std::filesystem::exists(options.ServersFile)) {
        throw Exception("The server list \"" + options.ServersFile + "\" does not exist");
    }
    if (!options.SettingsFile.empty() && !std::filesystem::exists(options.SettingsFile)) {
        throw Exception("The settings file \"" + options.SettingsFile + "\" does not exist");
    }
    LoadSettings(SettingsFileName);
    const std::vector<TServerInfo> servers = LoadServers(ServersFileName);
    const TDescriptorBudget budget = RaiseDescriptorLimit();
    // The endpoint's connections (up to three descriptors each: the client's, and Qt's and its
    // answer writer's, or the two of a TLS relay's pair) and its listening socket.
    const std::size_t endpointDescriptors =
        options.Once ? 0 : 3 * std::size_t(THttpServerConfig().MaxConnections) + 1;
    TFleet fleet(servers, options.Shard, std::cerr);
    std::cerr << "Watching " << fleet.Servers().size() << " of " << servers.size() << " servers of "
              << ServersFileName << " (shard " << options.Shard.Index << "/" << options.Shard.Count
              << "), every " << AutoRefreshInterval << " s\n";
    if (budget.Known()) {
        std::cerr << "Descriptors: " << budget.Describe(endpointDescriptors) << "\n";
    }
    // Beyond the budget the last connections would fail at random and the endpoint could no
    // longer accept: better a clear refusal now.
    if (fleet.Servers().size() > budget.ServersAllowed(endpointDescriptors)) {
        throw Exception("Cannot watch " + std::to_string(fleet.Servers().size()) +
                        " servers: " + budget.Describe(endpointDescriptors) +
                        " (each holds two descriptors). Raise the limit of open files "
                        "(LimitNOFILE= in the systemd unit, ulimit -n) or split the servers "
                        "among exporters with --shard");
    }

    TExporterFacts facts;
    facts.Version = Version;
    facts.WarningThresholdSeconds = WarningTimeout / 1000.0;
    facts.PollIntervalSeconds = AutoRefreshInterval;
    TMetricsBoard board(facts);
    board.Publish(fleet.Reports());

    TSignalWatcher stopSignals;
    int stopSignal = 0;
    QObject::connect(&stopSignals, &TSignalWatcher::StopRequested, [&](int number) {
        stopSignal = number;
        QCoreApplication::quit();
    });

    if (options.Once) {
        QObject::connect(&fleet, &TFleet::AllPolled, [] { QCoreApplication::quit(); });
        fleet.PollAll();
        if (!fleet.Idle()) {
            QCoreApplication::exec();
        }
        if (stopSignal != 0) {
            return 128 + stopSignal;
        }
        const std::vector<TServerReport> reports = fleet.Reports();
        board.Publish(reports);
        std::cout << board.Render(TExpositionFormat::Text004) << std::flush;
        // A cron job or a check script learns of a server that is down without parsing.
        const bool allUp = std::all_of(reports.begin(), reports.end(),
                                       [](const TServerReport& report) { return report.Up; });
        return allUp ? 0 : SomeServersDownStatus;
    }

    // Completions come in bursts: the reports are published at most every 100 ms.
    QTimer publish;
    publish.setSingleShot(true);
    publish.setInterval(100);
    QObject::connect(&publish, &QTimer::timeout, [&] { board.Publish(fleet.Reports()); });
    QObject::connect(&fleet, &TFleet::Changed, [&] {
        if (!publish.isActive()) {
            publish.start();
        }
    });
    TEndpointThread endpoint(EndpointConfig(options),
                             [&board](TExpositionFormat format) { return board.Render(format); });
    std::string error;
    if (!endpoint.Listen(error)) {
        throw Exception(error);
    }
    std::cerr << "Serving " << (options.TlsCertFile.empty() ? "http" : "https") << "://"
              << options.ListenHost << ":" << endpoint.Port() << "/metrics\n";
    if (options.DeadlockIntervalSeconds > 0) {
        fleet.ReadDeadlocks(std::chrono::seconds(options.DeadlockIntervalSeconds));
    }
    fleet.Start(AutoRefreshInterval);
    QCoreApplication::exec();
    std::cerr << "Stopping (signal " << stopSignal << ")\n";
    fleet.Stop();
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const TOptionsParse parse = ParseExporterOptions(args);
    if (!parse.Error.empty()) {
        std::cerr << "tallyvane-exporter: " << parse.Error << '\n';
        return 2;
    }
    if (parse.Options.Help) {
        std::cout << ExporterUsage;
        return 0;
    }
    if (parse.Options.Version) {
        std::cout << "tallyvane-exporter " << Version << '\n';
        return 0;
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("tallyvane-exporter");
    try {
        return Run(parse.Options, argv[0]);
    } catch (const std::exception& e) {
        std::cerr << "tallyvane-exporter: " << e.what() << '\n';
        return 1;
    }
}
