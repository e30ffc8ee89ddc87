// tallyvane-exporter watching many simulated servers, as a fleet runs it: the exporter's CPU
// (share of one core), its RSS, its threads, and the latency of GET /metrics while it polls, for
// 50 and 500 servers and 500 of which 50 are dead or hanging at a 5 s poll interval, and for
// 5,000 and 10,000 servers at 15 s. It also measures how old the healthy servers' figures get
// (the age of their last completed poll, seen at every scrape): dead servers must not make it
// grow; and what one more watched server costs in RSS.
//
//   bench_exporter_fleet [WINDOW_SECONDS] [RUNS]   RUNS: e.g. 50,500,500d,5000,10000 (default)
#include "TdsSimProcess.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using tallyvane::testsupport::TdsSimProcess;
using Clock = std::chrono::steady_clock;

namespace {

std::string TempFolder() {
    std::string pattern = "/tmp/tallyvane-exporter-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

// One keep-alive HTTP connection to the exporter.
class TScraper {
public:
    explicit TScraper(int port) {
        Fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            throw std::runtime_error("cannot connect to the exporter");
        }
    }
    ~TScraper() { ::close(Fd); }

    // The body of GET /metrics.
    std::string Scrape() {
        const std::string request = "GET /metrics HTTP/1.1\r\nHost: bench\r\n\r\n";
        if (::send(Fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
            throw std::runtime_error("send failed");
        }
        std::string data;
        char buffer[65536];
        std::size_t headEnd = std::string::npos;
        std::size_t length = 0;
        for (;;) {
            const ssize_t n = ::recv(Fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                throw std::runtime_error("the exporter closed the connection");
            }
            data.append(buffer, std::size_t(n));
            if (headEnd == std::string::npos &&
                (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
                const std::size_t at = data.find("Content-Length: ");
                length = std::stoul(data.substr(at + 16));
            }
            if (headEnd != std::string::npos && data.size() >= headEnd + 4 + length) {
                return data.substr(headEnd + 4, length);
            }
        }
    }

private:
    int Fd = -1;
};

struct TProcStat {
    double CpuSeconds = 0;
    double RssMb = 0;
    double PeakRssMb = 0;
    int Threads = 0;
};

TProcStat ReadProc(pid_t pid) {
    TProcStat s;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::vector<std::string> f((std::istream_iterator<std::string>(fields)), {});
    const double tick = double(::sysconf(_SC_CLK_TCK));
    s.CpuSeconds = (std::stod(f[11]) + std::stod(f[12])) / tick; // utime, stime
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            s.RssMb = std::stod(line.substr(6)) / 1024.0;
        } else if (line.rfind("VmHWM:", 0) == 0) {
            s.PeakRssMb = std::stod(line.substr(6)) / 1024.0;
        } else if (line.rfind("Threads:", 0) == 0) {
            s.Threads = std::stoi(line.substr(8));
        }
    }
    return s;
}

// Per scrape: how many healthy servers are up, and the oldest age of their last poll.
struct TPageFacts {
    int HealthyUp = 0;
    double OldestHealthyPollAge = 0;
};

TPageFacts Inspect(const std::string& page, int healthy) {
    TPageFacts facts;
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    std::istringstream in(page);
    for (std::string line; std::getline(in, line);) {
        // Healthy servers are named H0, H1, ...
        int index = -1;
        double value = 0;
        if (std::sscanf(line.c_str(), "tallyvane_up{server=\"H%d\"} %lf", &index, &value) == 2 &&
            index < healthy) {
            facts.HealthyUp += value == 1 ? 1 : 0;
        } else if (std::sscanf(line.c_str(),
                               "tallyvane_last_poll_timestamp_seconds{server=\"H%d\"} %lf", &index,
                               &value) == 2 &&
                   index < healthy) {
            facts.OldestHealthyPollAge = std::max(facts.OldestHealthyPollAge, now - value);
        }
    }
    return facts;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t at =
        std::min(values.size() - 1, std::size_t(std::ceil(p * double(values.size())) - 1));
    return values[at];
}

struct TRun {
    int Servers = 0;
    int Dead = 0;
    int Interval = 0;
    double CpuPercent = 0;
    double RssMb = 0;
    double PeakRssMb = 0;
    int Threads = 0;
    double P50 = 0, P99 = 0, Max = 0;
    int Scrapes = 0;
    double OldestHealthyAge = 0;
    int HealthyUp = 0;
    std::size_t PageBytes = 0;
};

TRun Measure(int servers, int dead, int intervalSeconds, std::chrono::seconds window) {
    const int healthy = servers - dead;
    // Ten thousand instances take a while to open on a busy machine.
    TdsSimProcess sim("demo", servers, std::chrono::seconds(60 + servers / 20));
    // The dead: half hang after the login (no answer to any statement), half never answer
    // the login at all.
    for (int i = healthy; i < servers; ++i) {
        sim.setFault(i, i % 2 == 0 ? "hang" : "hang-login");
    }
    const std::string dir = TempFolder();
    {
        std::ofstream list(dir + "/servers.ini", std::ios::binary);
        for (int i = 0; i < servers; ++i) {
            const std::string name =
                i < healthy ? "H" + std::to_string(i) : "D" + std::to_string(i);
            list << "[" << name << "]\r\nConnectionString=" << sim.oledbConnectionString(i)
                 << "\r\nTimeout=30\r\n\r\n";
        }
        std::ofstream(dir + "/tallyvane.ini", std::ios::binary)
            << "[Settings]\r\nAutoRefreshInterval=" << intervalSeconds << "\r\n";
    }
    const std::string err = dir + "/exporter.err";
    std::vector<std::string> args = {
        TALLYVANE_EXPORTER_PATH, "--servers", dir + "/servers.ini", "--settings",
        dir + "/tallyvane.ini",  "--listen",  "127.0.0.1:0"};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start the exporter");
    }
    posix_spawn_file_actions_destroy(&actions);

    int port = 0;
    const std::regex serving("Serving http://[^:]+:([0-9]+)/metrics");
    for (const auto until = Clock::now() + std::chrono::seconds(30);
         port == 0 && Clock::now() < until;) {
        std::ifstream in(err);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        std::smatch m;
        if (std::regex_search(text, m, serving)) {
            port = std::stoi(m[1]);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    if (port == 0) {
        ::kill(pid, SIGKILL);
        throw std::runtime_error("the exporter did not start");
    }

    TRun run;
    run.Servers = servers;
    run.Dead = dead;
    run.Interval = intervalSeconds;
    {
        TScraper scraper(port);
        // Warm-up: until every healthy server has been polled (bounded).
        for (const auto until = Clock::now() + std::chrono::seconds(90 + servers / 50);
             Clock::now() < until;) {
            if (Inspect(scraper.Scrape(), healthy).HealthyUp == healthy) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        const TProcStat before = ReadProc(pid);
        const auto start = Clock::now();
        std::vector<double> latencies;
        while (Clock::now() - start < window) {
            const auto t0 = Clock::now();
            const std::string page = scraper.Scrape();
            latencies.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            const TPageFacts facts = Inspect(page, healthy);
            run.OldestHealthyAge = std::max(run.OldestHealthyAge, facts.OldestHealthyPollAge);
            run.HealthyUp = facts.HealthyUp;
            run.PageBytes = page.size();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const TProcStat after = ReadProc(pid);
        // The scrapes' own cost is part of the exporter's CPU: a fleet is scraped too.
        run.CpuPercent = 100.0 * (after.CpuSeconds - before.CpuSeconds) / elapsed;
        run.RssMb = after.RssMb;
        run.PeakRssMb = after.PeakRssMb;
        run.Threads = after.Threads;
        run.Scrapes = int(latencies.size());
        run.P50 = Percentile(latencies, 0.50);
        run.P99 = Percentile(latencies, 0.99);
        run.Max = Percentile(latencies, 1.0);
    }
    ::kill(pid, SIGTERM);
    const auto stopStart = Clock::now();
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double stopSeconds = std::chrono::duration<double>(Clock::now() - stopStart).count();
    std::printf("  (%d servers: stopped in %.2f s, exit status %d)\n", servers, stopSeconds,
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::system(("rm -rf '" + dir + "'").c_str());
    return run;
}

struct TGoal {
    const char* Text;
    double Value;
    double Limit;
};

bool PrintGoals(const std::vector<TGoal>& goals) {
    bool met = true;
    for (const TGoal& g : goals) {
        const bool ok = g.Value <= g.Limit;
        met = met && ok;
        std::printf("  goal: %s: %.1f -> %s\n", g.Text, g.Value, ok ? "met" : "NOT met");
    }
    return met;
}

struct TFleetRun {
    std::string Name;
    int Servers;
    int Dead;
    int Interval;
};

} // namespace

int main(int argc, char** argv) {
    const int windowSeconds = argc > 1 ? std::atoi(argv[1]) : 30;
    const std::string wanted = argc > 2 ? argv[2] : "50,500,500d,5000,10000";
    const std::vector<TFleetRun> fleets = {{"50", 50, 0, 5},
                                           {"500", 500, 0, 5},
                                           {"500d", 500, 50, 5},
                                           {"5000", 5000, 0, 15},
                                           {"10000", 10000, 0, 15}};
    std::printf("tallyvane-exporter, %d s measured after every healthy server was polled; "
                "GET /metrics every 100 ms on one keep-alive connection.\n",
                windowSeconds);
    std::printf("Goals: 500 servers at 5 s on 2 cores: CPU under 25 %% of a core, RSS under "
                "300 MB, scrape p99 under 50 ms while polling; 50 dead or hanging servers must not "
                "delay the figures of the healthy ones. 10,000 servers at 15 s: CPU <= 25 %% of a "
                "core, RSS <= 1 GB, <= 64 threads, scrape p99 <= 250 ms.\n\n");
    std::vector<TRun> runs;
    for (const TFleetRun& fleet : fleets) {
        if (("," + wanted + ",").find("," + fleet.Name + ",") == std::string::npos) {
            continue;
        }
        runs.push_back(Measure(fleet.Servers, fleet.Dead, fleet.Interval,
                               std::chrono::seconds(windowSeconds)));
    }
    std::printf("\n%8s %5s %6s %8s %8s %9s %8s %8s %8s %8s %8s %10s %11s %10s\n", "servers", "dead",
                "every", "CPU %", "RSS MB", "peak MB", "threads", "p50 ms", "p99 ms", "max ms",
                "scrapes", "page bytes", "healthy up", "oldest s");
    for (const TRun& r : runs) {
        std::printf("%8d %5d %5ds %8.1f %8.1f %9.1f %8d %8.2f %8.2f %8.2f %8d %10zu %7d/%-3d "
                    "%10.1f\n",
                    r.Servers, r.Dead, r.Interval, r.CpuPercent, r.RssMb, r.PeakRssMb, r.Threads,
                    r.P50, r.P99, r.Max, r.Scrapes, r.PageBytes, r.HealthyUp, r.Servers - r.Dead,
                    r.OldestHealthyAge);
    }
    std::printf("\n'oldest s': the oldest age of a healthy server's last completed poll seen at "
                "any scrape (a poll every interval keeps it near the interval plus the poll's "
                "duration).\n\n");
    bool met = true;
    const TRun* smallest = nullptr;
    for (const TRun& r : runs) {
        if (smallest == nullptr || r.Servers < smallest->Servers) {
            smallest = &r;
        }
    }
    for (const TRun& r : runs) {
        if (r.Servers == 500 && r.Dead == 0) {
            met = PrintGoals({{"500 servers at 5 s: CPU < 25 % of a core", r.CpuPercent, 25},
                              {"500 servers at 5 s: RSS < 300 MB", r.RssMb, 300},
                              {"500 servers at 5 s: scrape p99 < 50 ms", r.P99, 50}}) &&
                  met;
        } else if (r.Servers == 500) {
            // Dead servers must not hold the healthy ones' polls back beyond an interval or so.
            met = PrintGoals({{"500 servers, 50 dead: oldest healthy figures (s) <= 2 intervals",
                               r.OldestHealthyAge, 2.0 * r.Interval},
                              {"500 servers, 50 dead: healthy servers not up",
                               double(r.Servers - r.Dead - r.HealthyUp), 0}}) &&
                  met;
        } else if (r.Servers == 10000) {
            met = PrintGoals({{"10,000 servers at 15 s: CPU <= 25 % of a core", r.CpuPercent, 25},
                              {"10,000 servers at 15 s: RSS <= 1 GB (MB)", r.RssMb, 1024},
                              {"10,000 servers at 15 s: threads <= 64", double(r.Threads), 64},
                              {"10,000 servers at 15 s: scrape p99 <= 250 ms", r.P99, 250}}) &&
                  met;
        }
        if (smallest != nullptr && r.Servers > smallest->Servers) {
            std::printf("  %d servers: %.0f KB of RSS per watched server beyond the %d of the "
                        "smallest run\n",
                        r.Servers,
                        (r.RssMb - smallest->RssMb) * 1024.0 / (r.Servers - smallest->Servers),
                        smallest->Servers);
        }
    }
    std::printf("%s\n", met ? "every goal above met" : "some goal above NOT met");
    return met ? 0 : 1;
}
