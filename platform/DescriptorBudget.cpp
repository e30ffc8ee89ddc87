#include "DescriptorBudget.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#if defined(__linux__)
#include <sys/resource.h>
#endif

namespace {

// Thousands with commas: "32,672".
std::string Grouped(std::uint64_t n) {
    // Built front to back: MinGW's g++ takes an insert into the string for an overlapping copy.
    const std::string digits = std::to_string(n);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0)
            grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

#if defined(__linux__)
// The kernel refuses a limit above fs.nr_open, whatever the hard limit says.
std::uint64_t KernelMostOpenFiles() {
    std::uint64_t most = 0;
    std::ifstream("/proc/sys/fs/nr_open") >> most;
    return most != 0 ? most : 1048576;
}

std::uint64_t Finite(rlim_t value) {
    return value == RLIM_INFINITY ? KernelMostOpenFiles() : std::uint64_t(value);
}
#endif

} // namespace

std::size_t TDescriptorBudget::ServersAllowed(std::size_t others) const {
    if (!Known()) {
        return std::numeric_limits<std::size_t>::max();
    }
    const std::uint64_t aside = DescriptorsOfTheProcess + others;
    return Limit <= aside ? 0 : std::size_t((Limit - aside) / DescriptorsPerServer);
}

std::string TDescriptorBudget::Describe(std::size_t others) const {
    if (!Known()) {
        return "no limit of open files is known";
    }
    std::string text = "a limit of " + Grouped(Limit) + " open files";
    if (LimitFound != 0 && LimitFound != Limit) {
        text += " (raised from " + Grouped(LimitFound) + ")";
    }
    if (!RaiseError.empty()) {
        text += " (" + RaiseError + ")";
    }
    const std::size_t servers = ServersAllowed(others);
    return text + " allows " + Grouped(servers) + (servers == 1 ? " server" : " servers");
}

TDescriptorBudget CurrentDescriptorBudget() {
    TDescriptorBudget budget;
#if defined(__linux__)
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        budget.Limit = budget.LimitFound = Finite(limit.rlim_cur);
    }
#endif
    return budget;
}

TDescriptorBudget RaiseDescriptorLimit() {
    TDescriptorBudget budget = CurrentDescriptorBudget();
#if defined(__linux__)
    rlimit limit{};
    if (!budget.Known() || getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return budget;
    }
    const rlim_t wanted =
        limit.rlim_max == RLIM_INFINITY ? rlim_t(KernelMostOpenFiles()) : limit.rlim_max;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        limit.rlim_cur = wanted;
        if (setrlimit(RLIMIT_NOFILE, &limit) == 0) {
            budget.Limit = std::uint64_t(wanted);
        } else {
            budget.RaiseError = std::string("not raised: ") + std::strerror(errno);
        }
    }
#endif
    return budget;
}
