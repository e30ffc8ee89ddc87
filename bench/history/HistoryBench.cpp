// Recording 200 servers with blocking at a 1 s refresh: the writer thread's processor time,
// the longest stall of the GUI thread's event loop with recording and the longest call of
// the recorder on it, and how fast the history file grows. Usage: bench_history [seconds]
// [off] (default 60; "off": the same monitors without recording, for the stall beside it).
// Prints figures; passes or fails nothing.
#include "HistoryRecorder.h"
#include "HistoryWriter.h"
#include "ServerData.h"
#include "ServerOwner.h"
#include "Settings.h"
#include "TdsSimProcess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using tallyvane::testsupport::TdsSimProcess;

namespace {

constexpr int Servers = 200;

class Owner : public IServerOwner {
public:
    void ServerChanged(TServerData& server) override {
        if (Recorder == nullptr)
            return;
        QElapsedTimer t;
        t.start();
        Recorder->ServerChanged(server, {true, 3000, 3000});
        LongestHookNs = std::max(LongestHookNs, t.nsecsElapsed());
    }
    bool Warn(TServerData&) override { return false; }
    void LogError(const std::string&, const std::exception&) override { ++Errors; }

    THistoryRecorder* Recorder = nullptr;
    qint64 LongestHookNs = 0;
    int Errors = 0;
};

std::uintmax_t FileBytes(const std::string& file) {
    std::uintmax_t bytes = 0;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::error_code error;
        const auto size = std::filesystem::file_size(file + suffix, error);
        bytes += error ? 0 : size;
    }
    return bytes;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    TdsSimProcess sim("demo", Servers, std::chrono::seconds(60));
    QTemporaryDir dir;
    const std::string file = dir.filePath("history.sqlite").toStdString();

    THistoryWriter writer(file, 14, TEpisodeDetector::SystemClock);
    writer.Start();
    THistoryRecorder recorder;
    recorder.SetWriter(&writer);
    Owner owner;
    const bool recording = !(argc > 2 && std::string(argv[2]) == "off");
    owner.Recorder = recording ? &recorder : nullptr;
    std::vector<std::unique_ptr<TServerData>> monitors;
    for (int i = 0; i < Servers; ++i) {
        // Staggered clocks, so that episodes start and end all the time, not all at once.
        sim.setClock(i, (i * 7) % 30);
        monitors.push_back(std::make_unique<TServerData>(
            owner, TServerInfo{"SRV" + std::to_string(i), true,
                               sim.oledbConnectionString(i, "sa", "Sim-Admin-1"), 10}));
    }

    QTimer refresh;
    refresh.setInterval(1000);
    QObject::connect(&refresh, &QTimer::timeout, [&] {
        for (auto& m : monitors)
            if (!m->Busy)
                m->Refresh();
    });
    // The event loop's longest stall: a 5 ms timer that notes how late it fires.
    QElapsedTimer since;
    qint64 longestGapMs = 0;
    bool measuring = false;
    QTimer probe;
    probe.setInterval(5);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (measuring)
            longestGapMs = std::max(longestGapMs, since.elapsed());
        since.restart();
    });

    // A first round connects everything; the measurement starts after it.
    for (auto& m : monitors)
        m->Refresh();
    QElapsedTimer warm;
    warm.start();
    while (warm.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    writer.Flush();
    const std::uintmax_t bytesBefore = FileBytes(file);
    const std::int64_t cpuBefore = writer.CpuNanoseconds();
    owner.LongestHookNs = 0;
    refresh.start();
    probe.start();
    since.start();
    measuring = true;
    QElapsedTimer run;
    run.start();
    while (run.elapsed() < seconds * 1000)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    measuring = false;
    refresh.stop();
    writer.Flush();
    const double elapsed = static_cast<double>(run.elapsed()) / 1000.0;
    const double cpuMs = static_cast<double>(writer.CpuNanoseconds() - cpuBefore) / 1e6;
    const double grown = static_cast<double>(FileBytes(file) - bytesBefore);

    std::printf("goal: writing never stalls the window (batched per refresh, one transaction, "
                "off the GUI thread); 200 servers with blocking at a 1 s interval\n");
    std::printf("measured over %.0f s, %d servers, %llu batches committed, %d errors\n", elapsed,
                Servers, static_cast<unsigned long long>(writer.CommittedBatches()), owner.Errors);
    std::printf("writer thread CPU: %.1f ms per second (%.2f%% of one core)\n", cpuMs / elapsed,
                cpuMs / elapsed / 10.0);
    std::printf("longest GUI event-loop stall (5 ms probe, recording %s): %lld ms\n",
                recording ? "on" : "off", static_cast<long long>(longestGapMs));
    std::printf("longest recorder call on the GUI thread: %.2f ms\n",
                static_cast<double>(owner.LongestHookNs) / 1e6);
    std::printf("history file growth: %.1f MB per hour (%.0f bytes in %.0f s)\n",
                grown * 3600.0 / elapsed / 1e6, grown, elapsed);
    recorder.SetWriter(nullptr);
    return 0;
}
