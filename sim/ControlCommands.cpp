// The commands of the control port (ControlServer::execute).
#include "ControlServer.h"
#include "Faults.h"
#include "TextUtil.h"

#include <algorithm>
#include <sstream>

namespace tdssim {

namespace {

std::string ok(const std::string& text = "") {
    return text.empty() ? "OK\n" : "OK " + text + "\n";
}
std::string err(const std::string& text) {
    return "ERR " + text + "\n";
}

std::string list(const std::vector<std::string>& lines) {
    std::string out = "OK " + std::to_string(lines.size()) + "\n";
    for (const std::string& l : lines) {
        out += l + "\n";
    }
    return out;
}

std::string restAfterWords(const std::string& line, std::size_t words) {
    std::size_t pos = 0;
    for (std::size_t w = 0; w < words; ++w) {
        pos = line.find_first_not_of(" \t", pos);
        if (pos == std::string::npos) {
            return "";
        }
        pos = line.find_first_of(" \t", pos);
        if (pos == std::string::npos) {
            return "";
        }
    }
    return trim(line.substr(pos));
}

const char* kHelp =
    "commands: ping | instances | fault I|* NAME [VALUE] | faults I | clear I|* | "
    "sessions I | processes I | kill I SPID | block I WAITER BLOCKER [TYPE "
    "[RESOURCE]] | unblock I WAITER | deadlock I SPID SPID... [victim=SPID] "
    "[resources=KIND,...] [count=N] [size=CHARS] | clock I|* SECONDS | log I | log-clear I | "
    "shutdown | quit";

} // namespace

std::string ControlServer::execute(const std::string& line) {
    std::vector<std::string> w = splitWords(line);
    const std::string cmd = lowerAscii(w[0]);
    auto now = Clock::now();

    if (cmd == "ping") {
        return ok("pong");
    }
    if (cmd == "help") {
        return ok(kHelp);
    }
    if (cmd == "shutdown") {
        loop_.stop();
        return ok("stopping");
    }
    if (cmd == "instances") {
        std::vector<std::string> lines;
        for (auto& inst : instances_) {
            lines.push_back(std::to_string(inst->index()) + " " + std::to_string(inst->port()) +
                            " " + describeFaults(inst->state().faults()));
        }
        return list(lines);
    }

    // Everything else names an instance (an index) or all of them (*).
    if (w.size() < 2) {
        return err("missing instance; " + std::string(kHelp));
    }
    std::vector<Instance*> targets;
    if (w[1] == "*") {
        for (auto& inst : instances_) {
            targets.push_back(inst.get());
        }
    } else {
        long long index = -1;
        if (!parseInteger(w[1], index) || index < 0 ||
            index >= static_cast<long long>(instances_.size())) {
            return err("no instance " + w[1] + " (0 to " + std::to_string(instances_.size() - 1) +
                       ")");
        }
        targets.push_back(instances_[static_cast<std::size_t>(index)].get());
    }
    auto single = [&]() -> Instance* { return targets.size() == 1 ? targets[0] : nullptr; };
    auto number = [&](std::size_t i, long long& out) {
        return i < w.size() && parseInteger(w[i], out);
    };

    if (cmd == "fault") {
        if (w.size() < 3) {
            return err("usage: fault I|* NAME [VALUE]");
        }
        std::string value = w.size() > 3 ? w[3] : "";
        for (Instance* inst : targets) {
            std::string error;
            Faults f = inst->state().faults();
            if (!setFault(f, w[2], value, error)) {
                return err(error);
            }
            inst->state().faults() = f;
            inst->applyFaults();
        }
        return ok(describeFaults(targets[0]->state().faults()));
    }
    if (cmd == "clear") {
        for (Instance* inst : targets) {
            inst->state().faults() = Faults{};
            inst->applyFaults();
        }
        return ok("none");
    }
    if (cmd == "faults") {
        return ok(describeFaults(targets[0]->state().faults()));
    }
    if (cmd == "clock") {
        double seconds = 0;
        if (w.size() < 3 || !parseNumber(w[2], seconds)) {
            return err("usage: clock I|* SECONDS");
        }
        for (Instance* inst : targets) {
            inst->state().setScenarioTime(seconds, now);
        }
        return ok();
    }

    Instance* inst = single();
    if (!inst) {
        return err(cmd + " needs one instance, not *");
    }
    ServerState& state = inst->state();
    if (cmd == "sessions" || cmd == "processes") {
        std::vector<std::string> lines;
        for (const ProcessRow& r : state.processRows(now, 0)) {
            const SessionDef& s = *r.session;
            bool client = state.connectionRow(s.spid) == &s;
            if (cmd == "sessions" && !client) {
                continue;
            }
            std::ostringstream o;
            o << "{\"spid\":" << s.spid << ",\"blocked\":" << r.blocked
              << ",\"waittime\":" << r.waittime
              << ",\"database\":" << (r.databaseName ? jsonQuote(*r.databaseName) : "null")
              << ",\"login\":" << jsonQuote(s.login) << ",\"host\":" << jsonQuote(s.host)
              << ",\"program\":" << jsonQuote(s.program) << ",\"status\":" << jsonQuote(*r.status)
              << ",\"command\":" << jsonQuote(*r.command)
              << ",\"wait_type\":" << jsonQuote(*r.waitType) << ",\"open_tran\":" << s.openTran
              << ",\"client\":" << (client ? "true" : "false") << "}";
            lines.push_back(o.str());
        }
        return list(lines);
    }
    if (cmd == "kill") {
        long long spid = 0;
        if (!number(2, spid)) {
            return err("usage: kill I SPID");
        }
        if (state.kill(static_cast<int>(spid)) == KillResult::NotFound) {
            return err("no session " + std::to_string(spid));
        }
        return ok();
    }
    if (cmd == "block") {
        long long waiter = 0;
        long long blocker = 0;
        if (!number(2, waiter) || !number(3, blocker)) {
            return err("usage: block I WAITER BLOCKER [WAIT_TYPE [WAIT_RESOURCE]]");
        }
        std::string type = w.size() > 4 ? w[4] : "LCK_M_X";
        state.block(static_cast<int>(waiter), static_cast<int>(blocker), type,
                    restAfterWords(line, 5), now);
        return ok();
    }
    if (cmd == "unblock") {
        long long waiter = 0;
        if (!number(2, waiter)) {
            return err("usage: unblock I WAITER");
        }
        return ok(std::to_string(state.unblock(static_cast<int>(waiter))));
    }
    if (cmd == "deadlock") {
        const char* usage = "usage: deadlock I SPID SPID... [victim=SPID] [resources=KIND,...] "
                            "[count=N] [size=CHARS]";
        DeadlockDef d;
        long long count = 1;
        for (std::size_t i = 2; i < w.size(); ++i) {
            const std::size_t eq = w[i].find('=');
            const std::string key = eq == std::string::npos ? "" : lowerAscii(w[i].substr(0, eq));
            const std::string value = eq == std::string::npos ? w[i] : w[i].substr(eq + 1);
            long long n = 0;
            if (key.empty() && parseInteger(value, n) && n >= 1 && n <= 32767) {
                d.spids.push_back(static_cast<int>(n));
            } else if (key == "victim" && parseInteger(value, n)) {
                d.victim = static_cast<int>(n);
            } else if (key == "count" && parseInteger(value, n) && n >= 1 && n <= 100000) {
                count = n;
            } else if (key == "size" && parseInteger(value, n) && n >= 0 && n <= 256 << 20) {
                d.reportChars = static_cast<std::size_t>(n);
            } else if (key == "resources") {
                std::string kinds = value;
                for (char& c : kinds) {
                    if (c == ',') {
                        c = ' ';
                    }
                }
                for (const std::string& k : splitWords(kinds)) {
                    if (!knownDeadlockResource(k)) {
                        return err("unknown resource " + k + "; " + usage);
                    }
                    d.resources.push_back(k);
                }
            } else {
                return err(usage);
            }
        }
        if (d.spids.size() < 2 || d.spids.size() > 16 ||
            (d.victim != 0 &&
             std::find(d.spids.begin(), d.spids.end(), d.victim) == d.spids.end())) {
            return err(usage);
        }
        DeadlockRing& ring = state.deadlocks(now);
        for (long long i = 0; i < count; ++i) {
            ring.add(state, d, now);
        }
        return ok(std::to_string(ring.total()));
    }
    if (cmd == "log") {
        const auto& kept = inst->clientLog().recent(inst->index());
        return list(std::vector<std::string>(kept.begin(), kept.end()));
    }
    if (cmd == "log-clear") {
        inst->clientLog().clear(inst->index());
        return ok();
    }
    return err("unknown command " + w[0] + "; " + kHelp);
}

} // namespace tdssim
