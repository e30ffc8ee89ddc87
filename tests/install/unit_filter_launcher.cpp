// Runs a program under the seccomp filter that systemd builds from a unit's SystemCallFilter=
// lines, for machines where systemd does not run the unit itself (containers, CI).
//
//   unit_filter_launcher UNIT SETS -- PROGRAM [ARGS...]
//
// UNIT is the unit file; SETS the output of `systemd-analyze syscall-filter` (the "@set"
// tables). The lines are read as systemd reads them: the first SystemCallFilter= line decides
// the mode (a list to allow, which starts from @default, or with "~" a list to deny); every
// further line adds names to that list or, with "~", takes them out; an empty assignment resets
// it; "name:ERRNO" fails that call with ERRNO instead. Calls the filter does not allow kill the
// process, or fail with SystemCallErrorNumber= when the unit sets it. Only
// SystemCallArchitectures=native is understood (libseccomp's filter holds the native
// architecture alone). Names this architecture lacks are skipped, as systemd skips them.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <seccomp.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace {

using TSets = std::map<std::string, std::vector<std::string>>;
// In the filter's map: the list's own action (allow in a list to allow; kill, or
// SystemCallErrorNumber=, in a list to deny), else the errno of a "name:ERRNO" entry.
constexpr int ListAction = -1;

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "unit_filter_launcher: %s\n", message.c_str());
    std::exit(125);
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

TSets ReadSets(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        Fail("cannot read " + path);
    }
    TSets sets;
    std::string current;
    for (std::string line; std::getline(in, line);) {
        const std::string word = Trim(line);
        if (word.empty() || word[0] == '#') {
            continue;
        }
        if (line[0] == '@') {
            current = word;
            sets[current];
        } else if (!current.empty()) {
            sets[current].push_back(word);
        }
    }
    if (sets.count("@default") == 0) {
        Fail(path + " holds no @default set: not the output of systemd-analyze syscall-filter");
    }
    return sets;
}

int ErrnoNumber(const std::string& name) {
    static const std::map<std::string, int> known = {
        {"EPERM", EPERM}, {"EACCES", EACCES}, {"ENOSYS", ENOSYS}, {"EINVAL", EINVAL}};
    if (const auto found = known.find(name); found != known.end()) {
        return found->second;
    }
    char* end = nullptr;
    const long number = std::strtol(name.c_str(), &end, 10);
    if (name.empty() || *end != '\0' || number < 0 || number > 4095) {
        Fail("unknown error number \"" + name + "\"");
    }
    return int(number);
}

// The filter systemd would build: system call name to action.
struct TFilter {
    bool Started = false;
    bool AllowList = false;
    std::map<std::string, int> Calls;

    // Adds or removes one name or "@set", recursively, as systemd's
    // seccomp_parse_syscall_filter() does.
    void Apply(const TSets& sets, const std::string& name, bool invert, int action,
               std::set<std::string>& seen) {
        if (name[0] == '@') {
            const auto set = sets.find(name);
            if (set == sets.end()) {
                Fail("unknown system call set " + name);
            }
            if (!seen.insert(name).second) {
                return;
            }
            for (const std::string& member : set->second) {
                Apply(sets, member, invert, action, seen);
            }
            return;
        }
        if (invert != AllowList) {
            Calls[name] = action;
        } else {
            Calls.erase(name);
        }
    }

    void Line(const TSets& sets, std::string value) {
        value = Trim(value);
        if (value.empty()) {
            *this = TFilter();
            return;
        }
        bool invert = false;
        if (value[0] == '~') {
            invert = true;
            value.erase(0, 1);
        }
        if (!Started) {
            Started = true;
            AllowList = !invert;
            if (AllowList) {
                std::set<std::string> seen;
                Apply(sets, "@default", false, ListAction, seen);
            }
        }
        std::istringstream words(value);
        for (std::string word; words >> word;) {
            int action = ListAction;
            if (const auto colon = word.find(':'); colon != std::string::npos) {
                action = ErrnoNumber(word.substr(colon + 1));
                word.erase(colon);
            }
            std::set<std::string> seen;
            Apply(sets, word, invert, action, seen);
        }
    }
};

// What a call the unit forbids gets: death, or SystemCallErrorNumber='s error.
std::uint32_t Forbidden(int errorNumber) {
    return errorNumber == ListAction ? SCMP_ACT_KILL_PROCESS
                                     : SCMP_ACT_ERRNO(std::uint16_t(errorNumber));
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 5 || std::strcmp(argv[3], "--") != 0) {
        std::fprintf(stderr, "usage: unit_filter_launcher UNIT SETS -- PROGRAM [ARGS...]\n");
        return 2;
    }
    const TSets sets = ReadSets(argv[2]);
    std::ifstream unit(argv[1]);
    if (!unit) {
        Fail(std::string("cannot read ") + argv[1]);
    }
    TFilter filter;
    int errorNumber = ListAction;
    for (std::string line; std::getline(unit, line);) {
        line = Trim(line);
        if (!line.empty() && line.back() == '\\') {
            Fail("continued lines are not understood: " + line);
        }
        const auto equals = line.find('=');
        if (line.empty() || line[0] == '#' || line[0] == ';' || equals == std::string::npos) {
            continue;
        }
        const std::string key = Trim(line.substr(0, equals));
        const std::string value = Trim(line.substr(equals + 1));
        if (key == "SystemCallFilter") {
            filter.Line(sets, value);
        } else if (key == "SystemCallErrorNumber") {
            errorNumber = ErrnoNumber(value);
        } else if (key == "SystemCallArchitectures" && value != "native") {
            Fail("SystemCallArchitectures=" + value + " is not understood (only native)");
        }
    }
    if (!filter.Started) {
        Fail(std::string(argv[1]) + " has no SystemCallFilter= line");
    }

    const std::uint32_t fallback = filter.AllowList ? Forbidden(errorNumber) : SCMP_ACT_ALLOW;
    scmp_filter_ctx context = seccomp_init(fallback);
    if (context == nullptr) {
        Fail("seccomp_init failed");
    }
    int rules = 0;
    for (const auto& [name, action] : filter.Calls) {
        const int number = seccomp_syscall_resolve_name(name.c_str());
        if (number == __NR_SCMP_ERROR) {
            continue; // not a call of this architecture
        }
        std::uint32_t ruleAction = SCMP_ACT_ERRNO(std::uint16_t(action));
        if (action == ListAction) {
            ruleAction = filter.AllowList ? SCMP_ACT_ALLOW : Forbidden(errorNumber);
        }
        if (ruleAction == fallback) {
            continue;
        }
        // Calls this architecture multiplexes (socketcall's) may be refused: skipped.
        if (seccomp_rule_add(context, ruleAction, number, 0) == 0) {
            ++rules;
        }
    }
    std::fprintf(stderr,
                 "unit_filter_launcher: %s list of %zu calls, %d rules for this architecture\n",
                 filter.AllowList ? "allow" : "deny", filter.Calls.size(), rules);
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        Fail(std::string("PR_SET_NO_NEW_PRIVS: ") + std::strerror(errno));
    }
    if (const int r = seccomp_load(context); r != 0) {
        Fail(std::string("seccomp_load: ") + std::strerror(-r));
    }
    seccomp_release(context);
    execv(argv[4], argv + 4);
    std::fprintf(stderr, "unit_filter_launcher: cannot run %s: %s\n", argv[4],
                 std::strerror(errno));
    return 127;
}
