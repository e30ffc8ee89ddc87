// Dead servers beside live ones: 450 healthy monitors refreshing every second (the main
// window's rule: a busy monitor is skipped) against tdssim's demo scenario, alone and beside 50
// dead servers (a third refusing connections, a third silent at login, a third silent after
// the login, each with a 5 s time-out). Prints the healthy servers' refresh latency (Refresh to
// the last call-back of a cycle on an open connection) in both runs, and the change of its
// median against the goal. The phases alternate, so that a busy machine weighs on both alike.
// The main window's own figures with these servers are gui_scale_bench.py's part.
//   bench_monitor_responsiveness [SECONDS_PER_RUN] [ROUNDS]
#include "ServerData.h"
#include "ServerOwner.h"
#include "TdsSimProcess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

using tallyvane::testsupport::TdsSimProcess;

namespace {

constexpr int Healthy = 450;
constexpr int Dead = 50;

class TimingOwner : public IServerOwner {
public:
    void ServerChanged(TServerData& server) override {
        // The end of a cycle: the last call-back, Busy clear with a snapshot or an error.
        auto it = Started.find(&server);
        if (it == Started.end() || server.Busy) {
            return;
        }
        if (++Calls[&server] >= Needed[&server] || server.State == 2) {
            if (Needed[&server] == 3) { // an open connection: the query alone
                Latencies.push_back(static_cast<double>(Clock.nsecsElapsed() - it->second) / 1e6);
            }
            Started.erase(it);
        }
    }
    bool Warn(TServerData&) override { return true; }
    void LogError(const std::string&, const std::exception&) override { ++Errors; }

    void Begin(TServerData& server) {
        Started[&server] = Clock.nsecsElapsed();
        Calls[&server] = 1; // Refresh's own call-back comes while Busy is set
        Needed[&server] = server.ADOConnection.Connected() ? 3 : 4;
    }

    QElapsedTimer Clock;
    std::unordered_map<TServerData*, qint64> Started;
    std::unordered_map<TServerData*, int> Calls;
    std::unordered_map<TServerData*, int> Needed;
    std::vector<double> Latencies; // healthy and connected cycles only
    int Errors = 0;
};

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

double Load() {
    double load = 0;
    std::ifstream("/proc/loadavg") >> load;
    return load;
}

// One run; returns the healthy servers' latencies after a warm-up.
std::vector<double> Run(TdsSimProcess& sim, bool withDead, int seconds) {
    TimingOwner owner;
    TimingOwner deadOwner; // dead servers' figures stay apart
    owner.Clock.start();
    deadOwner.Clock.start();
    std::vector<std::unique_ptr<TServerData>> monitors;
    const int count = Healthy + (withDead ? Dead : 0);
    for (int i = 0; i < count; ++i) {
        TServerInfo info;
        info.Name = "SRV" + std::to_string(i);
        info.Enabled = true;
        info.ConnectionString = sim.oledbConnectionString(i);
        info.Timeout = 5;
        monitors.push_back(std::make_unique<TServerData>(i < Healthy ? owner : deadOwner, info));
    }
    auto refreshAll = [&] {
        for (std::size_t i = 0; i < monitors.size(); ++i) {
            TServerData& m = *monitors[i];
            if (!m.Busy) {
                (static_cast<int>(i) < Healthy ? owner : deadOwner).Begin(m);
                m.Refresh();
            }
        }
    };
    QTimer refresher;
    QObject::connect(&refresher, &QTimer::timeout, refreshAll);
    refresher.start(1000);
    refreshAll();
    // Connecting and the first answers are left out.
    QTimer::singleShot(3000, [&] { owner.Latencies.clear(); });
    QTimer::singleShot(seconds * 1000, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    refresher.stop();
    return owner.Latencies;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 15;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 2;
    TdsSimProcess sim("demo", Healthy + Dead, std::chrono::seconds(60));
    for (int i = Healthy; i < Healthy + Dead; ++i) {
        static const char* const faults[] = {"refuse", "hang-login", "hang"};
        sim.setFault(i, faults[(i - Healthy) % 3]);
    }
    std::printf("%d healthy servers at a 1 s interval, alone and beside %d dead ones (refusing, "
                "silent at login, silent in the query); %d s per run, %d rounds; load %.2f\n",
                Healthy, Dead, seconds, rounds, Load());
    std::vector<double> alone;
    std::vector<double> beside;
    for (int r = 0; r < rounds; ++r) {
        const std::vector<double> a = Run(sim, false, seconds);
        std::printf("  round %d, alone:       %zu cycles, p50 %6.1f ms, p90 %6.1f ms (load %.2f)\n",
                    r + 1, a.size(), Median(a), Percentile(a, 0.9), Load());
        const std::vector<double> b = Run(sim, true, seconds);
        std::printf("  round %d, beside dead: %zu cycles, p50 %6.1f ms, p90 %6.1f ms (load %.2f)\n",
                    r + 1, b.size(), Median(b), Percentile(b, 0.9), Load());
        alone.insert(alone.end(), a.begin(), a.end());
        beside.insert(beside.end(), b.begin(), b.end());
    }
    const double change = (Median(beside) - Median(alone)) / Median(alone) * 100;
    std::printf("  healthy refresh latency p50: alone %.1f ms, beside dead servers %.1f ms: "
                "%+.1f %%\n",
                Median(alone), Median(beside), change);
    std::printf("  goal: the healthy servers' refresh latency p50 changes by <= 10 %% -> %s\n",
                std::abs(change) <= 10 ? "met" : "NOT met");
    return 0;
}
