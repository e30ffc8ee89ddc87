#include "Deadlocks.h"

#include "ServerState.h"
#include "TextUtil.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace tdssim {

namespace {

// Text and attribute values escaped as the server's XML writer does; characters that XML 1.0
// forbids are written as references, as SQL Server writes them.
std::string xmlEscape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                char ref[8];
                std::snprintf(ref, sizeof ref, "&#x%X;", static_cast<unsigned>(c));
                out += ref;
            } else {
                out += c;
            }
        }
    }
    return out;
}

// The sessions' texts are cut so that a report stays within the 4000 characters of the
// column tdssim answers the read with.
std::string cut(const std::string& s, std::size_t n) {
    if (s.size() <= n) {
        return s;
    }
    std::size_t end = n;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) {
        --end;
    }
    return s.substr(0, end);
}

std::string hex(std::uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(v));
    return text;
}

const std::string& resourceOf(const DeadlockDef& d, std::size_t i) {
    static const std::string keylock = "keylock";
    if (d.resources.empty()) {
        return keylock;
    }
    return d.resources[std::min(i, d.resources.size() - 1)];
}

} // namespace

bool knownDeadlockResource(std::string_view kind) {
    return kind == "keylock" || kind == "pagelock" || kind == "objectlock" || kind == "ridlock" ||
           kind == "exchangeEvent";
}

std::string deadlockTimestamp(std::int64_t ms) {
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms % 1000));
    return text;
}

bool parseDeadlockTimestamp(std::string_view t, std::int64_t& ms) {
    auto digits = [&](std::size_t at, std::size_t n, int& out) {
        if (at + n > t.size()) {
            return false;
        }
        out = 0;
        for (std::size_t i = at; i < at + n; ++i) {
            if (t[i] < '0' || t[i] > '9') {
                return false;
            }
            out = out * 10 + (t[i] - '0');
        }
        return true;
    };
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, frac = 0;
    if (t.size() < 19 || !digits(0, 4, y) || t[4] != '-' || !digits(5, 2, mo) || t[7] != '-' ||
        !digits(8, 2, d) || (t[10] != 'T' && t[10] != 't') || !digits(11, 2, h) || t[13] != ':' ||
        !digits(14, 2, mi) || t[16] != ':' || !digits(17, 2, s)) {
        return false;
    }
    std::size_t at = 19;
    if (at < t.size() && t[at] == '.') {
        if (!digits(at + 1, 3, frac)) {
            return false;
        }
        at += 4;
    }
    if (at < t.size() && (t[at] == 'Z' || t[at] == 'z')) {
        ++at;
    }
    if (at != t.size() || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) {
        return false;
    }
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    ms = static_cast<std::int64_t>(timegm(&tm)) * 1000 + frac;
    return true;
}

void DeadlockRing::advance(const ServerState& state, double elapsed, Clock::time_point now) {
    const Scenario& sc = state.scenario();
    if (elapsed < lastElapsed_) {
        lastElapsed_ = elapsed; // the clock was set back: nothing happened meanwhile
        return;
    }
    if (sc.deadlocks.empty()) {
        lastElapsed_ = elapsed;
        return;
    }
    // Every moment in (lastElapsed_, elapsed], oldest first; after a jump of the clock only
    // as many as the ring keeps.
    std::vector<std::pair<double, std::size_t>> due;
    const double period = sc.period > 0 && std::isfinite(sc.period) ? sc.period : 0;
    for (std::size_t i = 0; i < sc.deadlocks.size(); ++i) {
        const double at = sc.deadlocks[i].at;
        if (period == 0) {
            if (at > lastElapsed_ && at <= elapsed) {
                due.emplace_back(at, i);
            }
            continue;
        }
        double k = std::floor((elapsed - at) / period);
        for (std::size_t n = 0; n < capacity_ && k >= 0; ++n, --k) {
            const double moment = at + k * period;
            if (moment <= lastElapsed_) {
                break;
            }
            due.emplace_back(moment, i);
        }
    }
    std::sort(due.begin(), due.end());
    if (due.size() > capacity_) {
        due.erase(due.begin(), due.end() - static_cast<std::ptrdiff_t>(capacity_));
    }
    for (const auto& [moment, i] : due) {
        const auto ago = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(elapsed - moment));
        record(state, sc.deadlocks[i], now - ago);
    }
    lastElapsed_ = elapsed;
}

void DeadlockRing::add(const ServerState& state, const DeadlockDef& deadlock,
                       Clock::time_point now) {
    record(state, deadlock, now);
}

void DeadlockRing::record(const ServerState& state, const DeadlockDef& deadlock,
                          Clock::time_point when) {
    // The wall clock as it reads at that moment of the steady clock.
    const auto wall =
        wallStart_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(when - start_);
    std::int64_t ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count();
    // One report per millisecond at most: a real server's deadlock monitor is not faster.
    ms = std::max(ms, lastMs_ + 1);
    lastMs_ = ms;
    ++total_;
    events_.push_back({ms, deadlockReportXml(state, deadlock, ms, total_)});
    while (events_.size() > capacity_) {
        events_.pop_front();
    }
    const int victim = deadlock.victim != 0 ? deadlock.victim : deadlock.spids.front();
    if (state.isConnection(victim)) {
        victims_.insert(victim);
    }
}

std::string deadlockReportXml(const ServerState& state, const DeadlockDef& d, std::int64_t timeMs,
                              std::uint64_t serial) {
    const auto now = Clock::now();
    const std::size_t n = d.spids.size();
    const int victim = d.victim != 0 ? d.victim : d.spids.front();
    const std::string earlier = deadlockTimestamp(timeMs - 4800);

    // The table the locks are on: the one named, else one of the first session's database.
    const SessionDef* first = state.sessionRow(d.spids.front(), now);
    const int firstDb = first ? first->dbid : 5;
    const ObjectDef* object = nullptr;
    for (const ObjectDef& o : state.scenario().objects) {
        if ((d.object != 0 && o.id == d.object) || (d.object == 0 && o.dbid == firstDb)) {
            object = &o;
            break;
        }
    }
    const int dbid = object ? object->dbid : firstDb;
    const DatabaseDef* db = state.findDatabase(dbid);
    const std::string dbName = db ? db->name : "db" + std::to_string(dbid);
    const std::string objectName =
        dbName + "." + (object ? object->schema + "." + object->name : "dbo.Orders");
    const std::string indexName = object ? object->index : "PK_Orders";
    const long long objectId = object ? object->id : 901578250;
    const long long hobt = object && object->hobt ? object->hobt : 72057594045136896LL;

    auto processId = [&](std::size_t i) {
        return "process" + hex(0x1f2c3a8c8ULL + serial * 0x100 + i * 0x48);
    };
    auto waitResource = [&](std::size_t i) -> std::string {
        const std::string& kind = resourceOf(d, i);
        const std::string dbText = std::to_string(dbid);
        if (kind == "keylock") {
            return "KEY: " + dbText + ":" + std::to_string(hobt) + " (" +
                   hex(0x8194443284a0ULL + i) + ")";
        }
        if (kind == "pagelock") {
            return "PAGE: " + dbText + ":1:" + std::to_string(4410 + i);
        }
        if (kind == "objectlock") {
            return "OBJECT: " + dbText + ":" + std::to_string(objectId) + ":0";
        }
        if (kind == "ridlock") {
            return "RID: " + dbText + ":1:" + std::to_string(3120 + i) + ":" + std::to_string(i);
        }
        return "";
    };

    std::string x = "<deadlock><victim-list>";
    for (std::size_t i = 0; i < n; ++i) {
        if (d.spids[i] == victim) {
            x += "<victimProcess id=\"" + processId(i) + "\"/>";
            break;
        }
    }
    x += "</victim-list><process-list>";
    for (std::size_t i = 0; i < n; ++i) {
        const int spid = d.spids[i];
        const int ecid = static_cast<int>(
            std::count(d.spids.begin(), d.spids.begin() + static_cast<std::ptrdiff_t>(i), spid));
        const SessionDef* s = state.sessionRow(spid, now);
        const DatabaseDef* sdb = s ? state.findDatabase(s->dbid) : nullptr;
        const std::string input = s ? cut(s->inputBuffer, 300) : "";
        const bool exchange = resourceOf(d, i) == "exchangeEvent";
        const std::string xact = std::to_string(serial * 1000 + i + 4242);
        x += "<process id=\"" + processId(i) + "\" taskpriority=\"0\" logused=\"" +
             std::to_string(144 * (i + 1)) + "\" waitresource=\"" + xmlEscape(waitResource(i)) +
             "\" waittime=\"" + std::to_string(4800 - 300 * i) + "\" ownerId=\"" + xact +
             "\" transactionname=\"user_transaction\" lasttranstarted=\"" + earlier +
             "\" XDES=\"0x" + hex(0x27b9c3e0428ULL + i * 0x1000) + "\"" +
             (exchange ? "" : " lockMode=\"" + std::string(i == 0 ? "U" : "S") + "\"") +
             " schedulerid=\"" + std::to_string(i + 1) + "\" kpid=\"" + std::to_string(5120 + i) +
             "\" status=\"suspended\" spid=\"" + std::to_string(spid) + "\" sbid=\"0\" ecid=\"" +
             std::to_string(ecid) + "\" priority=\"0\" trancount=\"2\" lastbatchstarted=\"" +
             earlier + "\" lastbatchcompleted=\"" + earlier +
             "\" lastattention=\"1900-01-01T00:00:00.000\" clientapp=\"" +
             xmlEscape(s ? cut(s->program, 128) : "") + "\" hostname=\"" +
             xmlEscape(s ? cut(s->host, 128) : "") + "\" hostpid=\"" + std::to_string(7000 + spid) +
             "\" loginname=\"" + xmlEscape(s ? cut(s->login, 128) : "") +
             "\" isolationlevel=\"read committed (2)\" xactid=\"" + xact + "\" currentdb=\"" +
             std::to_string(s ? s->dbid : dbid) + "\" currentdbname=\"" +
             xmlEscape(sdb ? sdb->name : dbName) +
             "\" lockTimeout=\"4294967295\" clientoption1=\"671090784\" clientoption2=\"390200\">"
             "<executionStack><frame procname=\"adhoc\" line=\"1\" stmtstart=\"0\" "
             "sqlhandle=\"0x02000000" +
             hex(0xd1e2f3a4b5c6ULL + serial) + "\">" + xmlEscape(input) +
             "</frame></executionStack><inputbuf>\n" + xmlEscape(input) +
             "   </inputbuf></process>";
    }
    x += "</process-list><resource-list>";
    for (std::size_t i = 0; i < n; ++i) {
        // Process i waits for what the next one holds.
        const std::string& kind = resourceOf(d, i);
        const std::string owner = processId((i + 1) % n);
        const std::string lockId = "lock" + hex(0x27b9d4e5c80ULL + serial * 0x10 + i);
        const std::string common =
            "dbid=\"" + std::to_string(dbid) + "\" objectname=\"" + xmlEscape(objectName) + "\"";
        if (kind == "exchangeEvent") {
            x += "<exchangeEvent id=\"Pipe" + hex(0x1f2c3a8c8ULL + i) +
                 "\" WaitType=\"e_waitPipeGetRow\" nodeId=\"" + std::to_string(2 + i) +
                 "\"><owner-list><owner id=\"" + owner +
                 "\"/></owner-list><waiter-list><waiter id=\"" + processId(i) +
                 "\"/></waiter-list></exchangeEvent>";
            continue;
        }
        x += "<" + kind + " ";
        if (kind == "keylock") {
            x += "hobtid=\"" + std::to_string(hobt) + "\" " + common + " indexname=\"" +
                 xmlEscape(indexName) + "\"";
        } else if (kind == "pagelock") {
            x += "fileid=\"1\" pageid=\"" + std::to_string(4410 + i) + "\" " + common +
                 " subresource=\"FULL\"";
        } else if (kind == "objectlock") {
            x += "lockPartition=\"0\" objid=\"" + std::to_string(objectId) +
                 "\" subresource=\"FULL\" " + common;
        } else {
            x += "fileid=\"1\" pageid=\"" + std::to_string(3120 + i) + "\" " + common;
        }
        x += " id=\"" + lockId + "\" mode=\"X\" associatedObjectId=\"" + std::to_string(hobt) +
             "\"><owner-list><owner id=\"" + owner +
             "\" mode=\"X\"/></owner-list><waiter-list>"
             "<waiter id=\"" +
             processId(i) + "\" mode=\"" + (i == 0 ? "U" : "S") +
             "\" requestType=\"wait\"/></waiter-list></" + kind + ">";
    }
    x += "</resource-list></deadlock>";
    if (x.size() < d.reportChars) {
        // A long input buffer, as a big batch leaves it: numbered lines, so that a reader
        // that loses or reorders a piece shows it.
        std::string pad;
        for (int line = 1; pad.size() < d.reportChars - x.size(); ++line) {
            pad += "-- line " + std::to_string(line) + " of a long batch\n";
        }
        pad.resize(d.reportChars - x.size());
        const std::size_t at = x.find("   </inputbuf>");
        x.insert(at == std::string::npos ? x.size() : at, pad);
    }
    return x;
}

} // namespace tdssim
