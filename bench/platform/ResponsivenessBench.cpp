// 50 monitors refreshing every second against tdssim instances that answer every statement
// 2 s late, with the main window's rule (a busy monitor is skipped) and, every 3 s, a
// synchronous DBCC INPUTBUFFER as the process info dialog runs it. A 1 ms timer measures the
// longest stall of the event loop, and the longest CPU time the GUI thread spent between two of
// its ticks (what our own code costs, apart from other processes taking the CPU). Run twice: alone,
// and beside dead servers (one refusing connections, one silent in the login, one silent after the
// login), to show that the dead ones do not delay the others' results.
#include "ServerData.h"
#include "ServerOwner.h"
#include "TdsSimProcess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

using tallyvane::testsupport::TdsSimProcess;

namespace {

constexpr int Healthy = 50;

qint64 ThreadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<qint64>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}
constexpr int SlowMs = 2000;

class TimingOwner : public IServerOwner {
public:
    void ServerChanged(TServerData& server) override {
        // The end of a cycle: the last call-back, Busy clear with a snapshot or an error.
        auto it = Started.find(&server);
        if (it == Started.end()) {
            return;
        }
        const bool failed = !server.Busy && server.State == 2;
        if (++Calls[&server] >= Needed[&server] || failed) {
            Latencies[&server].push_back(static_cast<double>(Clock.nsecsElapsed() - it->second) /
                                         1e6);
            Started.erase(it);
        }
    }
    bool Warn(TServerData&) override { return true; }
    void LogError(const std::string&, const std::exception&) override { ++Errors; }

    void Begin(TServerData& server) {
        ++Begun[&server];
        Started[&server] = Clock.nsecsElapsed();
        Calls[&server] = 0;
        Needed[&server] = server.ADOConnection.Connected() ? 3 : 4;
    }

    QElapsedTimer Clock;
    std::map<TServerData*, qint64> Started;
    std::map<TServerData*, int> Calls;
    std::map<TServerData*, int> Needed;
    std::map<TServerData*, int> Begun;
    std::map<TServerData*, std::vector<double>> Latencies;
    int Errors = 0;
};

void RunPhase(TdsSimProcess& sim, bool withDead, int seconds) {
    TimingOwner owner;
    owner.Clock.start();
    std::vector<std::unique_ptr<TServerData>> monitors;
    const int count = Healthy + (withDead ? 3 : 0);
    for (int i = 0; i < count; ++i) {
        TServerInfo info;
        info.Name = "SRV" + std::to_string(i);
        info.Enabled = true;
        info.ConnectionString = sim.oledbConnectionString(i);
        info.Timeout = 5;
        monitors.push_back(std::make_unique<TServerData>(owner, info));
    }

    qint64 lastTick = owner.Clock.nsecsElapsed();
    qint64 lastCpu = ThreadCpuNs();
    qint64 worstCpu = 0;
    qint64 worstGap = 0;
    int over5 = 0;
    int over10 = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = owner.Clock.nsecsElapsed();
        const qint64 cpu = ThreadCpuNs();
        worstCpu = std::max(worstCpu, cpu - lastCpu);
        lastCpu = cpu;
        worstGap = std::max(worstGap, now - lastTick);
        over5 += now - lastTick > 5'000'000 ? 1 : 0;
        over10 += now - lastTick > 10'000'000 ? 1 : 0;
        lastTick = now;
    });
    probe.start(1);

    auto refreshAll = [&] {
        for (auto& m : monitors) {
            if (!m->Busy) {
                owner.Begin(*m);
                m->Refresh();
            }
        }
    };
    QTimer refresher;
    QObject::connect(&refresher, &QTimer::timeout, refreshAll);
    refresher.start(1000);
    refreshAll();

    int statements = 0;
    int statementErrors = 0;
    QTimer dialog;
    QObject::connect(&dialog, &QTimer::timeout, [&] {
        try {
            monitors[0]->GetInputBuffer(51);
            ++statements;
        } catch (const std::exception&) {
            ++statementErrors;
        }
    });
    dialog.start(3000);

    QTimer::singleShot(seconds * 1000, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    probe.stop();
    refresher.stop();
    dialog.stop();

    std::vector<double> healthy;
    int cycles = 0;
    int begun = 0;
    // Monitor 0 also runs the statements, which queue with its query on its one connection.
    for (int i = 1; i < Healthy; ++i) {
        const auto& l = owner.Latencies[monitors[static_cast<std::size_t>(i)].get()];
        // The first cycle connects and asks the sysadmin question: two slow answers.
        for (std::size_t k = 1; k < l.size(); ++k) {
            healthy.push_back(l[k]);
        }
        cycles += static_cast<int>(l.size());
        begun += owner.Begun[monitors[static_cast<std::size_t>(i)].get()];
    }
    std::sort(healthy.begin(), healthy.end());
    std::printf("%s: %d monitors, %d s\n",
                withDead ? "50 slow servers + refused, silent-login, silent-after-login"
                         : "50 slow servers",
                count, seconds);
    std::printf("  longest event-loop stall: %.2f ms (target: under 20 ms); stalls over 5 ms: %d, "
                "over 10 ms: %d\n",
                static_cast<double>(worstGap) / 1e6, over5, over10);
    std::printf("  longest CPU time of the GUI thread between two ticks: %.2f ms (the rest of a "
                "stall is other processes on this machine)\n",
                static_cast<double>(worstCpu) / 1e6);
    if (!healthy.empty()) {
        std::printf("  slow servers: %d refreshes started, %d cycles finished; refresh to last "
                    "call-back (connected): median "
                    "%.0f ms, max %.0f ms (server answers %d ms late)\n",
                    begun, cycles, healthy[healthy.size() / 2], healthy.back(), SlowMs);
    }
    std::printf("  synchronous DBCC INPUTBUFFER: %d done, %d failed; errors logged: %d\n",
                statements, statementErrors, owner.Errors);
    if (withDead) {
        for (int i = Healthy; i < count; ++i) {
            TServerData& m = *monitors[static_cast<std::size_t>(i)];
            std::printf("  dead server %s: state %d, cycles finished %zu\n", m.Info.Name.c_str(),
                        m.State, owner.Latencies[&m].size());
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 15;
    TdsSimProcess sim("demo", Healthy + 3, std::chrono::seconds(30));
    for (int i = 0; i < Healthy; ++i) {
        sim.setFault(i, "delay", std::to_string(SlowMs));
    }
    sim.setFault(Healthy, "refuse");
    sim.setFault(Healthy + 1, "hang-login");
    sim.setFault(Healthy + 2, "hang");
    RunPhase(sim, false, seconds);
    RunPhase(sim, true, seconds);
    return 0;
}
