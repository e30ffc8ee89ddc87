// CPU and memory of 200 idle tdssim instances in one process, without and with one idle
// logged-in client per instance (as a monitor keeps its connections open).
#include "RawTdsClient.h"
#include "TdsSimProcess.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace tallyvane::testsupport;

namespace {

// utime + stime of a process, in milliseconds.
double cpuMs(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15; ++i) {
        rest >> field;
        if (i == 14) {
            utime = std::stoull(field);
        } else if (i == 15) {
            stime = std::stoull(field);
        }
    }
    return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string rss(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return line.substr(6);
        }
    }
    return "?";
}

void measure(const char* what, pid_t pid, int seconds) {
    double before = cpuMs(pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds)); // the measurement window
    double used = cpuMs(pid) - before;
    std::printf("  %-40s CPU %6.1f ms in %d s (%.3f %% of one core), RSS%s\n", what, used, seconds,
                used / (seconds * 10.0), rss(pid).c_str());
}

} // namespace

int main() {
    constexpr int kInstances = 200;
    constexpr int kSeconds = 5;
    TdsSimProcess sim("demo", kInstances, std::chrono::seconds(30));
    std::printf("tdssim --instances %d --scenario demo (pid %d)\n", kInstances, sim.pid());
    measure("200 instances, no clients:", sim.pid(), kSeconds);
    std::vector<std::unique_ptr<RawTdsClient>> clients;
    for (int port : sim.ports()) {
        clients.push_back(std::make_unique<RawTdsClient>(port));
        clients.back()->login("sa", "Sim-Admin-1", "idle");
    }
    measure("200 instances, one idle client each:", sim.pid(), kSeconds);
    return 0;
}
