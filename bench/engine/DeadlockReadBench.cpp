// The cost of one deadlock read with 100 reports in the ring buffer, against tdssim: the round
// trip of the statement (the server's time and the wire), the bytes the server sends, the CPU
// the program spends (fetch on the connection's thread, parsing on the GUI thread), and the
// memory the feature holds. Prints figures; nothing here passes or fails.
#include "DeadlockParser.h"
#include "DeadlockReader.h"
#include "ServerData.h"
#include "ServerOwner.h"
#include "TdsSimProcess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <vector>

using tallyvane::testsupport::TdsSimProcess;

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double CpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// What tdssim's sockets have sent so far (the kernel's count, from ss): only the connection
// that runs a statement changes it meanwhile.
long long BytesSentFrom(int port) {
    const std::string command =
        "ss -tiH state established '( sport = :" + std::to_string(port) + " )'";
    FILE* out = popen(command.c_str(), "r");
    if (!out)
        return -1;
    long long total = 0;
    char word[256];
    while (std::fscanf(out, "%255s", word) == 1) {
        long long n = 0;
        if (std::sscanf(word, "bytes_sent:%lld", &n) == 1)
            total += n;
    }
    pclose(out);
    return total;
}

long long RssKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoll(line.substr(6));
    return -1;
}

class Owner : public IServerOwner {
public:
    void ServerChanged(TServerData&) override {}
    bool Warn(TServerData&) override { return false; }
    void LogError(const std::string& name, const std::exception& e) override {
        std::fprintf(stderr, "error on %s: %s\n", name.c_str(), e.what());
    }
    void DeadlocksRead(TServerData&, const std::vector<TDeadlockReport>& reports) override {
        Read += reports.size();
        std::size_t bytes = 0;
        for (const TDeadlockReport& r : reports) {
            bytes += sizeof r + r.Xml.capacity();
            for (const TDeadlockProcess& p : r.Processes)
                bytes += sizeof p + p.Statement.capacity() + p.WaitResource.capacity() +
                         p.LoginName.capacity() + p.HostName.capacity() + p.ProgramName.capacity() +
                         p.Id.capacity();
            bytes += r.Resources.size() * sizeof(TDeadlockResource);
        }
        ReportBytes = std::max(ReportBytes, bytes);
    }
    std::size_t Read = 0;
    std::size_t ReportBytes = 0; // the largest batch handed over, as parsed
};

void Spin(const std::function<bool()>& done) {
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
    constexpr int reports = 100;
    TdsSimProcess sim("demo");
    Owner owner;
    TServerInfo info;
    info.Name = "BENCH";
    info.Enabled = true;
    info.ConnectionString = sim.oledbConnectionString();
    info.Timeout = 30;
    TServerData server(owner, info);
    server.ReadsDeadlocks = true;
    server.DeadlockReadInterval = {};
    auto cycle = [&] {
        server.Refresh();
        Spin([&] { return !server.Busy && server.DeadlockReadId == 0; });
    };
    cycle(); // connects, learns the server's clock
    cycle();

    // The statement alone, on a connection of its own: round trip and bytes the server sends.
    TDbConnection connection;
    connection.ConnectionString = info.ConnectionString;
    connection.CommandTimeout = 30;
    connection.Open();
    const std::string empty = DeadlockReadQuery(253370764800000); // 9999-01-01
    std::vector<double> roundTrip, emptyTrip, parseCpu, cycleCpu, refreshCpu;
    long long bytes = 0, emptyBytes = 0, textBytes = 0;
    for (int i = 0; i < runs; ++i) {
        const std::string before =
            sim.control("deadlock 0 57 59 victim=57 count=" + std::to_string(reports));
        const std::int64_t since = server.DeadlockCursor.Since();
        const std::string query = DeadlockReadQuery(since);

        long long w0 = BytesSentFrom(sim.port());
        QElapsedTimer clock;
        clock.start();
        TDbRecordsetPtr rows = connection.Execute(query);
        roundTrip.push_back(clock.nsecsElapsed() / 1e6);
        bytes = BytesSentFrom(sim.port()) - w0;

        w0 = BytesSentFrom(sim.port());
        clock.restart();
        connection.Execute(empty);
        emptyTrip.push_back(clock.nsecsElapsed() / 1e6);
        emptyBytes = BytesSentFrom(sim.port()) - w0;

        // Parsing the rows as the monitor does, on this thread.
        textBytes = 0;
        const double c0 = CpuMs();
        std::size_t parsed = 0;
        for (std::size_t r = 0; r < rows->RowCount(); ++r) {
            textBytes += static_cast<long long>(rows->Text(r, 1).size());
            parsed += ParseDeadlockReport(rows->Text(r, 1)).Processes.size() > 0;
        }
        parseCpu.push_back(CpuMs() - c0);
        if (rows->RowCount() < reports || parsed != rows->RowCount())
            std::fprintf(stderr, "only %zu rows (%zu parsed)\n", rows->RowCount(), parsed);

        // The monitor's whole cycle with the read, against one without (every thread's CPU).
        const std::size_t read = owner.Read;
        double c = CpuMs();
        cycle();
        cycleCpu.push_back(CpuMs() - c);
        // 99 or 100: the newest report seen before comes back once more and is skipped.
        if (owner.Read - read + 1 < reports)
            std::fprintf(stderr, "the monitor read %zu\n", owner.Read - read);
        server.ReadsDeadlocks = false;
        c = CpuMs();
        cycle();
        refreshCpu.push_back(CpuMs() - c);
        server.ReadsDeadlocks = true;
    }
    const long long rss0 = RssKb();
    for (int i = 0; i < runs; ++i) {
        sim.control("deadlock 0 57 59 count=" + std::to_string(reports));
        cycle();
    }
    const long long rss1 = RssKb();

    std::printf("Goal: the cost of one read with 100 reports in the buffer (time on the server, "
                "bytes on the wire, CPU in the program) and the memory the feature adds.\n");
    std::printf("One deadlock read with %d new reports in the buffer (tdssim, loopback), %d runs, "
                "medians:\n",
                reports, runs);
    std::printf("  round trip, 100 reports:          %7.2f ms (an empty read: %.2f ms)\n",
                Median(roundTrip), Median(emptyTrip));
    std::printf("  bytes the server sent, 100:       %7lld (an empty read: %lld; report text "
                "%lld bytes UTF-8, %.0f per report)\n",
                bytes, emptyBytes, textBytes, double(textBytes) / reports);
    std::printf("  program CPU, parsing 100 reports: %7.2f ms\n", Median(parseCpu));
    std::printf("  program CPU, refresh + read:      %7.2f ms (refresh alone %.2f ms: the read "
                "%.2f ms)\n",
                Median(cycleCpu), Median(refreshCpu), Median(cycleCpu) - Median(refreshCpu));
    std::printf("  memory held per monitor:          %7zu bytes (the cursor with the newest "
                "report's text)\n",
                server.DeadlockCursor.HeldBytes());
    std::printf("  memory of one read while it runs: %7zu bytes parsed + %lld bytes of rows\n",
                owner.ReportBytes, textBytes);
    std::printf("  RSS over %d more reads of 100:    %+lld kB\n", runs, rss1 - rss0);
    return 0;
}
