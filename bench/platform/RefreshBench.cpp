// One refresh of a 10,000-row snapshot, from Refresh to the last call-back (the connection is
// already open), against the time FreeTDS's own clients (isql over the FreeTDS ODBC driver, and
// tsql) need to fetch the same rows from the same tdssim. Their figures are the whole run minus
// a run that only connects and selects 1, so start-up and login are left out as for the monitor.
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
#include <string>
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
    std::printf("One refresh of a %d-row snapshot (gen:sessions=%d), %d runs\n", sessions, sessions,
                runs);

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
    TClient isql{"isql",
                 "isql -b -k \"" + sim.odbcConnectionString() + ";ClientCharset=UTF-8;APP=bench\"",
                 "select 1\n",
                 "select 1\n" + query + "\n",
                 {},
                 {}};
    TClient tsql{"tsql",
                 "tsql -H 127.0.0.1 -p " + port + " -U sa -P Sim-Admin-1",
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
    const Stats ours = Summary(times);
    std::printf("  monitor refresh (rows read: %d): min %7.1f  median %7.1f  max %7.1f ms\n",
                server.ProcessList.Count(), ours.Min, ours.Median, ours.Max);
    if (owner.Errors != 0) {
        std::printf("  (%d errors)\n", owner.Errors);
    }
    const double raw = std::min(isql.Fetch(), tsql.Fetch());
    std::printf("  monitor / fastest raw client fetch: %.2f (target: under 1.5)\n",
                ours.Median / raw);
    return 0;
}
