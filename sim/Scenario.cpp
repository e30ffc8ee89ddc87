#include "Scenario.h"

#include "BuiltinScenarios.h"
#include "Deadlocks.h"
#include "TextUtil.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace tdssim {

namespace {

enum class Section { None, Server, Login, Database, Object, Session, Block, Deadlock, Faults };

struct Parser {
    Scenario sc;
    Section section = Section::None;
    int faultInstance = -1;
    int line = 0;
    // Database references are resolved at the end, when every database is known.
    std::vector<std::string> sessionDatabases;

    [[noreturn]] void fail(const std::string& why) const {
        throw ScenarioError(sc.name + ":" + std::to_string(line) + ": " + why);
    }

    long long integer(const std::string& v) const {
        long long n = 0;
        if (!parseInteger(v, n)) {
            fail("not an integer: " + v);
        }
        return n;
    }

    double seconds(const std::string& v) const {
        std::string l = lowerAscii(v);
        if (l.empty() || l == "never" || l == "end" || l == "forever") {
            return kForever;
        }
        double d = 0;
        if (!parseNumber(v, d)) {
            fail("not a number of seconds: " + v);
        }
        return d;
    }

    // Seconds into the past: at most a hundred years, so that a time can be written for it.
    double age(const std::string& v) const {
        double d = 0;
        if (!parseNumber(v, d) || !(d >= 0 && d <= 100.0 * 366 * 86400)) {
            fail("not a number of seconds from 0 to 100 years: " + v);
        }
        return d;
    }

    bool flag(const std::string& v) const {
        std::string l = lowerAscii(v);
        if (l == "1" || l == "yes" || l == "true" || l == "on") {
            return true;
        }
        if (l == "0" || l == "no" || l == "false" || l == "off" || l.empty()) {
            return false;
        }
        fail("not a yes/no value: " + v);
    }

    void startSection(const std::string& header) {
        std::vector<std::string> words = splitWords(header);
        std::string kind = words.empty() ? "" : lowerAscii(words[0]);
        if (kind == "server") {
            section = Section::Server;
        } else if (kind == "login") {
            section = Section::Login;
            sc.logins.emplace_back();
        } else if (kind == "database") {
            section = Section::Database;
            sc.databases.emplace_back();
        } else if (kind == "object") {
            section = Section::Object;
            sc.objects.emplace_back();
        } else if (kind == "session") {
            section = Section::Session;
            sc.sessions.emplace_back();
            sessionDatabases.emplace_back();
        } else if (kind == "block") {
            section = Section::Block;
            sc.episodes.emplace_back();
        } else if (kind == "deadlock") {
            section = Section::Deadlock;
            sc.deadlocks.emplace_back();
        } else if (kind == "faults") {
            section = Section::Faults;
            faultInstance = words.size() > 1 ? static_cast<int>(integer(words[1])) : -1;
            sc.faults[faultInstance];
        } else {
            fail("unknown section [" + header + "]");
        }
    }

    void setKey(const std::string& key, const std::string& v) {
        switch (section) {
        case Section::None:
            fail("key outside a section: " + key);
        case Section::Server:
            if (key == "name") {
                sc.serverName = v;
            } else if (key == "version") {
                sc.majorVersion = static_cast<int>(integer(v));
            } else if (key == "engine_edition") {
                const long long n = integer(v);
                if (n < 0 || n > 1000) {
                    fail("engine_edition must be from 0 to 1000");
                }
                sc.engineEdition = static_cast<int>(n);
            } else if (key == "product_version") {
                sc.productVersion = v == "NULL" ? std::nullopt : std::optional<std::string>(v);
            } else if (key == "rds") {
                sc.rds = flag(v);
            } else if (key == "period") {
                sc.period = seconds(v);
            } else if (key == "ring_buffer") {
                const long long n = integer(v);
                if (n < 1 || n > 100000) {
                    fail("ring_buffer must be from 1 to 100000 events");
                }
                sc.ringBufferEvents = static_cast<std::size_t>(n);
            } else {
                fail("unknown key in [server]: " + key);
            }
            break;
        case Section::Login: {
            LoginDef& l = sc.logins.back();
            if (key == "name") {
                l.name = v;
            } else if (key == "password") {
                l.password = v;
            } else if (key == "sysadmin") {
                l.sysadmin = flag(v);
            } else if (key == "view_server_state") {
                l.viewServerState = flag(v);
            } else if (key == "alter_any_connection") {
                l.alterAnyConnection = flag(v);
            } else if (key == "view_database_state") {
                l.viewDatabaseState = flag(v);
            } else if (key == "kill_database_connection") {
                l.killDatabaseConnection = flag(v);
            } else if (key == "view_server_performance_state") {
                l.viewServerPerformanceState = flag(v);
            } else {
                fail("unknown key in [login]: " + key);
            }
            break;
        }
        case Section::Database: {
            DatabaseDef& d = sc.databases.back();
            if (key == "id") {
                d.id = static_cast<int>(integer(v));
            } else if (key == "name") {
                d.name = v;
            } else {
                fail("unknown key in [database]: " + key);
            }
            break;
        }
        case Section::Object: {
            ObjectDef& o = sc.objects.back();
            if (key == "database") {
                o.dbid = static_cast<int>(integer(v));
            } else if (key == "id") {
                o.id = integer(v);
            } else if (key == "hobt") {
                o.hobt = integer(v);
            } else if (key == "schema") {
                o.schema = v;
            } else if (key == "name") {
                o.name = v;
            } else if (key == "index") {
                o.index = v;
            } else {
                fail("unknown key in [object]: " + key);
            }
            break;
        }
        case Section::Session:
            setSessionKey(sc.sessions.back(), key, v);
            break;
        case Section::Block: {
            Episode& e = sc.episodes.back();
            if (key == "waiter") {
                e.waiter = static_cast<int>(integer(v));
            } else if (key == "blocker") {
                e.blocker = static_cast<int>(integer(v));
            } else if (key == "from") {
                e.from = seconds(v.empty() ? "0" : v);
            } else if (key == "to") {
                e.to = seconds(v);
            } else if (key == "wait_type") {
                e.waitType = v;
            } else if (key == "wait_resource") {
                e.waitResource = v;
            } else {
                fail("unknown key in [block]: " + key);
            }
            break;
        }
        case Section::Deadlock:
            setDeadlockKey(sc.deadlocks.back(), key, v);
            break;
        case Section::Faults: {
            std::string error;
            if (!setFault(sc.faults[faultInstance], key, v, error)) {
                fail(error);
            }
            break;
        }
        }
    }

    void setSessionKey(SessionDef& s, const std::string& key, const std::string& v) {
        if (key == "spid") {
            s.spid = static_cast<int>(integer(v));
        } else if (key == "login") {
            s.login = v;
        } else if (key == "host") {
            s.host = v;
        } else if (key == "program") {
            s.program = v;
        } else if (key == "database") {
            sessionDatabases.back() = v;
        } else if (key == "status") {
            s.status = v;
        } else if (key == "command") {
            s.command = v;
        } else if (key == "cpu") {
            s.cpu = integer(v);
        } else if (key == "io") {
            s.io = integer(v);
        } else if (key == "memory") {
            s.memory = integer(v);
        } else if (key == "open_tran") {
            s.openTran = static_cast<int>(integer(v));
        } else if (key == "blocked") {
            s.blocked = static_cast<int>(integer(v));
        } else if (key == "waittime") {
            s.waittime = integer(v);
        } else if (key == "wait_type") {
            s.waitType = v;
        } else if (key == "wait_resource") {
            s.waitResource = v;
        } else if (key == "input") {
            s.inputBuffer = v;
        } else if (key == "event_type") {
            s.eventType = v;
        } else if (key == "idle") {
            s.idle = age(v);
        } else if (key == "transaction_age") {
            s.transactionAge = age(v);
        } else if (key == "from") {
            s.from = seconds(v);
        } else if (key == "to") {
            s.to = seconds(v);
        } else {
            fail("unknown key in [session]: " + key);
        }
    }

    void setDeadlockKey(DeadlockDef& d, const std::string& key, const std::string& v) {
        if (key == "at") {
            d.at = seconds(v);
        } else if (key == "sessions") {
            d.spids.clear();
            for (const std::string& w : splitList(v)) {
                const long long spid = integer(w);
                if (spid < 1 || spid > 32767) {
                    fail("a deadlock's sessions are SPIDs from 1 to 32767");
                }
                d.spids.push_back(static_cast<int>(spid));
            }
        } else if (key == "victim") {
            d.victim = static_cast<int>(integer(v));
        } else if (key == "resources") {
            d.resources.clear();
            for (const std::string& w : splitList(v)) {
                if (!knownDeadlockResource(w)) {
                    fail("unknown deadlock resource: " + w);
                }
                d.resources.push_back(w);
            }
        } else if (key == "object") {
            d.object = integer(v);
        } else {
            fail("unknown key in [deadlock]: " + key);
        }
    }

    static std::vector<std::string> splitList(const std::string& v) {
        std::string spaced = v;
        for (char& c : spaced) {
            if (c == ',') {
                c = ' ';
            }
        }
        return splitWords(spaced);
    }

    // A value is trimmed unless it is quoted; quoted values keep their blanks and
    // understand \n, \t, \\ and \".
    static std::string value(const std::string& raw) {
        std::string v = trim(raw);
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
            return unescape(v.substr(1, v.size() - 2));
        }
        return unescape(v);
    }

    void finish() {
        if (sc.logins.empty()) {
            sc.logins = {{"sa", "Sim-Admin-1", true, true, false, {}},
                         {"viewer", "Sim-View-1", false, true, false, {}},
                         {"operator", "Sim-Oper-1", false, true, true, {}},
                         {"blind", "Sim-Blind-1", false, false, false, {}}};
        }
        if (sc.databases.empty()) {
            sc.databases = {{1, "master"}, {2, "tempdb"}, {3, "model"}, {4, "msdb"}};
        }
        for (const LoginDef& l : sc.logins) {
            if (l.name.empty()) {
                throw ScenarioError(sc.name + ": a [login] has no name");
            }
        }
        for (const DeadlockDef& d : sc.deadlocks) {
            if (d.spids.size() < 2 || d.spids.size() > 16) {
                throw ScenarioError(sc.name + ": a [deadlock] needs 2 to 16 sessions");
            }
            if (d.victim != 0 &&
                std::find(d.spids.begin(), d.spids.end(), d.victim) == d.spids.end()) {
                throw ScenarioError(sc.name + ": a [deadlock]'s victim is none of its sessions");
            }
            if (sc.period > 0 && (d.at < 0 || d.at >= sc.period)) {
                throw ScenarioError(sc.name + ": a [deadlock] must happen within the period");
            }
        }
        for (std::size_t i = 0; i < sc.sessions.size(); ++i) {
            SessionDef& s = sc.sessions[i];
            if (s.spid <= 0 || s.spid > 32767) {
                throw ScenarioError(sc.name + ": a [session] needs a spid from 1 to 32767");
            }
            const std::string& db = sessionDatabases[i];
            long long id = 0;
            if (db.empty()) {
                continue;
            }
            if (parseInteger(db, id)) {
                s.dbid = static_cast<int>(id);
                continue;
            }
            bool found = false;
            for (const DatabaseDef& d : sc.databases) {
                if (lowerAscii(d.name) == lowerAscii(db)) {
                    s.dbid = d.id;
                    found = true;
                }
            }
            if (!found) {
                throw ScenarioError(sc.name + ": session " + std::to_string(s.spid) +
                                    " names an unknown database: " + db);
            }
        }
    }
};

} // namespace

Faults Scenario::faultsFor(int instance) const {
    auto it = faults.find(instance);
    if (it != faults.end()) {
        return it->second;
    }
    it = faults.find(-1);
    return it != faults.end() ? it->second : Faults{};
}

Scenario parseScenario(const std::string& text, const std::string& name) {
    Parser p;
    p.sc.name = name;
    std::istringstream in(text);
    std::string raw;
    while (std::getline(in, raw)) {
        ++p.line;
        std::string l = trim(raw);
        if (l.empty() || l[0] == ';' || l[0] == '#') {
            continue;
        }
        if (l.front() == '[') {
            if (l.back() != ']') {
                p.fail("section header without ]");
            }
            p.startSection(trim(l.substr(1, l.size() - 2)));
            continue;
        }
        std::size_t eq = l.find('=');
        if (eq == std::string::npos) {
            p.fail("expected key = value");
        }
        p.setKey(lowerAscii(trim(l.substr(0, eq))), Parser::value(raw.substr(raw.find('=') + 1)));
    }
    p.finish();
    return p.sc;
}

Scenario loadScenario(const std::string& nameOrPath) {
    if (nameOrPath.rfind("gen:", 0) == 0 || nameOrPath == "gen") {
        return generateScenario(nameOrPath.size() > 4 ? nameOrPath.substr(4) : "");
    }
    if (auto text = builtinScenarioText(nameOrPath)) {
        return parseScenario(*text, nameOrPath);
    }
    std::ifstream f(nameOrPath, std::ios::binary);
    if (!f) {
        throw ScenarioError("no built-in scenario and no readable file named '" + nameOrPath +
                            "' (built in: demo, edge, gen:...)");
    }
    std::ostringstream text;
    text << f.rdbuf();
    return parseScenario(text.str(), nameOrPath);
}

} // namespace tdssim
