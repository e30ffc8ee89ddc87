// Parsing deadlock reports of growing size whose resources' waiters name no process: the cost
// must grow with the size of the report, not with its square. Prints figures; nothing here
// passes or fails.
#include "DeadlockParser.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

namespace {

std::string Report(std::size_t n) {
    std::string processes, resources;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string id = std::to_string(i);
        processes += "<process id=\"p" + id + "\" spid=\"" + id + "\"/>";
        resources += "<keylock objectname=\"T" + id + "\"><waiter-list><waiter id=\"w" + id +
                     "\"/></waiter-list></keylock>";
    }
    return "<deadlock><process-list>" + processes + "</process-list><resource-list>" + resources +
           "</resource-list></deadlock>";
}

double ParseMs(const std::string& xml) {
    double best = 1e300;
    for (int run = 0; run < 3; ++run) {
        const auto start = std::chrono::steady_clock::now();
        const TDeadlockReport r = ParseDeadlockReport(xml);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        if (r.Processes.empty())
            std::fprintf(stderr, "nothing parsed\n");
        best = std::min(best, ms);
    }
    return best;
}

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf(
        "Goal: parsing grows linearly with the report (each doubling of the report at "
        "most 3 times the time; a quadratic read takes 4), up to the %zu MB the parser reads.\n",
        kDeadlockMaxXmlBytes >> 20);
    double previous = 0;
    bool linear = true;
    for (std::size_t n = 4096; n <= 131072; n *= 2) {
        const std::string xml = Report(n);
        if (xml.size() > kDeadlockMaxXmlBytes)
            break;
        const double ms = ParseMs(xml);
        const double ratio = previous > 0 ? ms / previous : 0;
        if (previous > 0 && ratio > 3)
            linear = false;
        std::printf("  %6zu processes and resources, %5.1f MB: %8.1f ms%s\n", n,
                    double(xml.size()) / (1 << 20), ms,
                    previous > 0 ? (" (x" + std::to_string(ratio).substr(0, 4) + ")").c_str() : "");
        previous = ms;
    }
    std::printf("Goal %s\n", linear ? "met" : "NOT met");
    return 0;
}
