// One refresh of a 10,000-row snapshot, from Refresh to the last call-back (the connection is
// already open), against the time FreeTDS's own clients (tsql, and isql over the FreeTDS ODBC
// driver) need to fetch the same rows from the same tdssim, all with the packet size the
// monitor asks for (the sim's log shows what each one got). The clients' figures are the whole
// run minus a run that only connects and selects 1, so start-up and login are left out as for
// the monitor. The goal compares with tsql.
#include "ServerData.h"
#include "ServerOwner.h"
#include "TdsSimProcess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

using tallyvane::testsupport::TdsSimProcess;
using Clock = std::chrono::steady_clock;

namespace {

struct Stats {
    double Min, Median, Max;
};

Stats Summary(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v.front(), v[v.size() / 2], v.back()};
}

class CountingOwner : public IServerOwner {
public:
    void ServerChanged(TServerData&) override { ++Changes; }
    bool Warn(TServerData&) override { return true; }
    void LogError(const std::string& name, const std::exception& e) override {
        std::fprintf(stderr, "error on %s: %s\n", name.c_str(), e.what());
        ++Errors;
    }
    int Changes = 0;
    int Errors = 0;
};

// What the monitor's connection string asks for (OdbcConnectionString.cpp).
constexpr int PacketSize = 32767;

double Load() {
    double load = 0;
    std::ifstream("/proc/loadavg") >> load;
    return load;
}

double RunShell(const std::string& command) {
    const auto t0 = Clock::now();
    const int rc = std::system(command.c_str());
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (rc != 0) {
        std::fprintf(stderr, "command failed (%d): %s\n", rc, command.c_str());
    }
    return ms;
}

// The query as one line: isql reads one statement per line; the server folds blanks anyway.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    return text;
}

// One external client: the time of a run that fetches the rows and of one that only connects
// and selects 1. Their difference is the fetch.
struct TClient {
    std::string Name;
    std::string Command; // reads its statements from standard input
    std::string BaseInput;
    std::string FullInput;
    std::vector<double> Base;
    std::vector<double> Full;

    void Run(const std::string& dir) {
        const std::string base = dir + "/bench-" + Name + "-base.sql";
        const std::string full = dir + "/bench-" + Name + "-full.sql";
        std::ofstream(base) << BaseInput;
        std::ofstream(full) << FullInput;
        Base.push_back(RunShell(Command + " < " + base + " > /dev/null 2>&1"));
        Full.push_back(RunShell(Command + " < " + full + " > /dev/null 2>&1"));
    }
    double Fetch() const {
        const Stats b = Summary(Base);
        const Stats f = Summary(Full);
        std::printf("  %-5s connect + select 1: median %7.1f ms; with the query: median %7.1f ms; "
                    "fetch: %7.1f ms\n",
                    Name.c_str(), b.Median, f.Median, f.Median - b.Median);
        return f.Median - b.Median;
    }
};

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    const int sessions = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 15;
    TdsSimProcess sim("gen:sessions=" + std::to_string(sessions), 1, std::chrono::seconds(60));
    std::printf("One refresh of a %d-row snapshot (gen:sessions=%d), %d runs; load %.2f\n",
                sessions, sessions, runs, Load());

    CountingOwner owner;
    TServerInfo info;
    info.Name = "BENCH";
    info.Enabled = true;
    info.ConnectionString = sim.oledbConnectionString();
    info.Timeout = 60;
    TServerData server(owner, info);
    auto refreshOnce = [&] {
        const int target = owner.Changes + (server.ADOConnection.Connected() ? 3 : 4);
        QElapsedTimer clock;
        clock.start();
        server.Refresh();
        while (owner.Changes < target) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        return static_cast<double>(clock.nsecsElapsed()) / 1e6;
    };
    refreshOnce(); // connects
    refreshOnce(); // warm

    const std::string query = OneLine(TServerData::ProcessQueryText);
    const std::string port = std::to_string(sim.port());
    // tsql takes its packet size from a configuration file of its own.
    const std::string conf = "/tmp/bench-refresh-freetds-" + std::to_string(getpid()) + ".conf";
    std::ofstream(conf) << "[bench]\n\thost = 127.0.0.1\n\tport = " << port
                        << "\n\tinitial block size = " << PacketSize << "\n";
    TClient isql{"isql",
                 "isql -b -k \"" + sim.odbcConnectionString() + ";ClientCharset=UTF-8;PacketSize=" +
                     std::to_string(PacketSize) + ";APP=bench\"",
                 "select 1\n",
                 "select 1\n" + query + "\n",
                 {},
                 {}};
    TClient tsql{"tsql",
                 "tsql -S bench -I " + conf + " -U sa -P Sim-Admin-1",
                 "select 1\ngo\nexit\n",
                 "select 1\ngo\n" + query + "\ngo\nexit\n",
                 {},
                 {}};
    // Interleaved, so that a busy machine weighs on every contender alike.
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        times.push_back(refreshOnce());
        isql.Run("/tmp");
        tsql.Run("/tmp");
    }
    std::remove(conf.c_str());
    const Stats ours = Summary(times);
    std::printf("  monitor refresh (rows read: %d): min %7.1f  median %7.1f  max %7.1f ms\n",
                server.ProcessList.RowCount(), ours.Min, ours.Median, ours.Max);
    if (owner.Errors != 0) {
        std::printf("  (%d errors)\n", owner.Errors);
    }
    const double viaTsql = tsql.Fetch();
    isql.Fetch();
    std::map<std::string, std::string> packets; // application -> packet size it logged in with
    for (const auto& e : sim.logEntries()) {
        if (e.count("event") && e.at("event") == "login" && e.count("packet_size")) {
            packets[e.count("app") ? e.at("app") : ""] = e.at("packet_size");
        }
    }
    std::printf("  packet sizes asked for at login:");
    for (const auto& [client, size] : packets) {
        std::printf(" %s %s;", client.c_str(), size.c_str());
    }
    std::printf("\n  monitor / tsql fetch at the same packet size: %.2f\n", ours.Median / viaTsql);
    std::printf("  goal: a refresh of %d rows <= 1.0x the raw tsql fetch -> %s\n", sessions,
                ours.Median <= viaTsql ? "met" : "NOT met");
    return 0;
}
