#include "ServerState.h"

#include "TextUtil.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

namespace tdssim {

namespace {

const std::string kSuspended = "suspended";
const std::string kRunnable = "runnable";
const std::string kSelect = "SELECT";

// Wall-clock time as sysprocesses.login_time reads through convert(varchar(23), x, 121).
std::string loginTimeText(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
    const std::time_t secs = static_cast<std::time_t>(ms.count() / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms.count() % 1000));
    return text;
}

} // namespace

ServerState::ServerState(Scenario scenario, int instanceIndex, Clock::time_point start)
    : scenario_(std::move(scenario)), instance_(instanceIndex),
      faults_(scenario_.faultsFor(instanceIndex)), clockZero_(start),
      wallZero_(std::chrono::system_clock::now()), deadlocks_(scenario_.ringBufferEvents, start) {
    // The scenario's sessions logged in an hour before the server was started.
    const std::string earlier =
        loginTimeText(std::chrono::system_clock::now() - std::chrono::hours(1));
    for (SessionDef& s : scenario_.sessions) {
        scenarioSpids_.insert(s.spid);
        if (s.loginTime.empty() && s.from == -std::numeric_limits<double>::infinity()) {
            s.loginTime = earlier;
        }
    }
    for (const DatabaseDef& d : scenario_.databases) {
        databasesById_[d.id] = &d;
    }
    for (std::size_t i = 0; i < scenario_.episodes.size(); ++i) {
        episodesByWaiter_[scenario_.episodes[i].waiter].push_back(i);
    }
}

const LoginDef* ServerState::findLogin(const std::string& name) const {
    // Login names compare without case, as on a server with a case-insensitive collation.
    for (const LoginDef& l : scenario_.logins) {
        if (lowerAscii(l.name) == lowerAscii(name)) {
            return &l;
        }
    }
    return nullptr;
}

const DatabaseDef* ServerState::findDatabase(const std::string& name) const {
    for (const DatabaseDef& d : scenario_.databases) {
        if (lowerAscii(d.name) == lowerAscii(name)) {
            return &d;
        }
    }
    return nullptr;
}

const DatabaseDef* ServerState::findDatabase(int id) const {
    auto it = databasesById_.find(id);
    return it == databasesById_.end() ? nullptr : it->second;
}

int ServerState::attachConnection(const SessionDef& row) {
    int spid = 51;
    while (spid <= 32767 && (scenarioSpids_.count(spid) || connections_.count(spid))) {
        ++spid;
    }
    if (spid > 32767) {
        return 0;
    }
    SessionDef s = row;
    s.spid = spid;
    const auto now = std::chrono::system_clock::now();
    s.loginTime = loginTimeText(now);
    connections_[spid] = std::move(s);
    connectionTimes_[spid] = {now, now};
    return spid;
}

void ServerState::detachConnection(int spid) {
    connections_.erase(spid);
    connectionTimes_.erase(spid);
    // A session that goes away releases its locks.
    std::erase_if(liveEpisodes_, [&](const LiveEpisode& e) { return e.blocker == spid; });
    std::erase_if(liveEpisodes_, [&](const LiveEpisode& e) { return e.waiter == spid; });
}

SessionDef* ServerState::connectionRow(int spid) {
    auto it = connections_.find(spid);
    return it == connections_.end() ? nullptr : &it->second;
}

const SessionDef* ServerState::sessionRow(int spid, Clock::time_point now) const {
    if (auto it = connections_.find(spid); it != connections_.end()) {
        return &it->second;
    }
    if (!scenarioSpids_.count(spid) || killedSpid(spid)) {
        return nullptr;
    }
    const double t = scenarioTime(now);
    for (const SessionDef& s : scenario_.sessions) {
        if (s.spid == spid && s.liveAt(t)) {
            return &s;
        }
    }
    return nullptr;
}

std::string ServerState::loginTime(const SessionDef& session, Clock::time_point now) const {
    if (!session.loginTime.empty() || session.from == -std::numeric_limits<double>::infinity()) {
        return session.loginTime;
    }
    // A session that begins on the timeline logged in when its row appeared in this round.
    const double t = scenarioTime(now);
    const auto ago = std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::duration<double>(t - session.from));
    return loginTimeText(std::chrono::system_clock::now() - ago);
}

namespace {

std::chrono::system_clock::time_point secondsBefore(std::chrono::system_clock::time_point t,
                                                    double seconds) {
    return t - std::chrono::duration_cast<std::chrono::system_clock::duration>(
                   std::chrono::duration<double>(seconds));
}

} // namespace

std::optional<std::string> ServerState::lastBatch(int spid, Clock::time_point now) const {
    const SessionDef* s = sessionRow(spid, now);
    if (!s) {
        return std::nullopt;
    }
    return lastBatch(*s, now);
}

std::string ServerState::lastBatch(const SessionDef& session, Clock::time_point now) const {
    const auto connection = connections_.find(session.spid);
    const auto times = connectionTimes_.find(session.spid);
    if (connection != connections_.end() && &connection->second == &session &&
        times != connectionTimes_.end()) {
        return loginTimeText(times->second.lastBatch);
    }
    // The texts sort as the times do; a session that logged in on the timeline after the
    // server started sent its last batch after its login.
    return std::max(loginTimeText(secondsBefore(wallZero_, session.idle)), loginTime(session, now));
}

std::optional<std::string> ServerState::transactionBegin(int spid, Clock::time_point now) const {
    const SessionDef* s = sessionRow(spid, now);
    if (!s || s->openTran <= 0) {
        return std::nullopt;
    }
    if (auto it = connectionTimes_.find(spid); it != connectionTimes_.end()) {
        return loginTimeText(it->second.transactionBegin);
    }
    return loginTimeText(
        secondsBefore(wallZero_, s->transactionAge < 0 ? s->idle : s->transactionAge));
}

std::string ServerState::serverTime() const {
    return loginTimeText(std::chrono::system_clock::now());
}

void ServerState::noteBatch(int spid) {
    auto it = connectionTimes_.find(spid);
    const SessionDef* row = connectionRow(spid);
    if (it == connectionTimes_.end() || !row) {
        return;
    }
    it->second.lastBatch = std::chrono::system_clock::now();
    if (row->openTran <= 0) {
        it->second.transactionBegin = it->second.lastBatch;
    }
}

const ObjectDef* ServerState::findObject(int dbid, long long id, bool byHobt) const {
    for (const ObjectDef& o : scenario_.objects) {
        if (o.dbid == dbid && (byHobt ? o.hobt : o.id) == id) {
            return &o;
        }
    }
    return nullptr;
}

bool ServerState::spidExists(int spid) const {
    return connections_.count(spid) || (scenarioSpids_.count(spid) && !killedSpid(spid));
}

std::optional<InputBuffer> ServerState::inputBuffer(int spid, Clock::time_point now) const {
    auto it = connections_.find(spid);
    if (it != connections_.end()) {
        return InputBuffer{it->second.eventType, it->second.inputBuffer};
    }
    if (!spidExists(spid)) {
        return std::nullopt;
    }
    const double t = scenarioTime(now);
    bool live = false;
    for (const SessionDef& s : scenario_.sessions) {
        if (s.spid != spid || !s.liveAt(t)) {
            continue;
        }
        live = true;
        if (!s.inputBuffer.empty()) {
            return InputBuffer{s.eventType, s.inputBuffer};
        }
    }
    if (!live) {
        return std::nullopt;
    }
    return InputBuffer{"No Event", ""};
}

KillResult ServerState::kill(int spid) {
    if (!spidExists(spid)) {
        return KillResult::NotFound;
    }
    if (connections_.count(spid)) {
        detachConnection(spid);
        if (onKillConnection) {
            onKillConnection(spid);
        }
    } else {
        killed_.insert(spid);
        std::erase_if(liveEpisodes_,
                      [&](const LiveEpisode& e) { return e.blocker == spid || e.waiter == spid; });
    }
    return KillResult::Killed;
}

double ServerState::scenarioTime(Clock::time_point now) const {
    double t = std::chrono::duration<double>(now - clockZero_).count();
    if (scenario_.period > 0 && std::isfinite(scenario_.period)) {
        t = std::fmod(t, scenario_.period);
        if (t < 0) {
            t += scenario_.period;
        }
    }
    return t;
}

double ServerState::elapsedTime(Clock::time_point now) const {
    return std::chrono::duration<double>(now - clockZero_).count();
}

DeadlockRing& ServerState::deadlocks(Clock::time_point now) {
    deadlocks_.advance(*this, elapsedTime(now), now);
    return deadlocks_;
}

LockWaitTotals ServerState::lockWaits(Clock::time_point now) {
    return waitStats_.advance(scenario_, elapsedTime(now));
}

void ServerState::setScenarioTime(double seconds, Clock::time_point now) {
    clockZero_ =
        now - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void ServerState::block(int waiter, int blocker, std::string waitType, std::string waitResource,
                        Clock::time_point now) {
    unblock(waiter);
    liveEpisodes_.push_back({waiter, blocker, now, std::move(waitType), std::move(waitResource)});
}

int ServerState::unblock(int waiter) {
    auto before = liveEpisodes_.size();
    std::erase_if(liveEpisodes_, [&](const LiveEpisode& e) { return e.waiter == waiter; });
    return static_cast<int>(before - liveEpisodes_.size());
}

std::vector<ProcessRow> ServerState::processRows(Clock::time_point now, int selfSpid) const {
    const double t = scenarioTime(now);
    std::vector<ProcessRow> rows;
    rows.reserve(scenario_.sessions.size() + connections_.size());

    auto fill = [&](const SessionDef& s) {
        ProcessRow r;
        r.session = &s;
        r.blocked = s.blocked;
        r.waittime = s.waittime;
        r.waitType = &s.waitType;
        r.waitResource = &s.waitResource;
        r.status = &s.status;
        r.command = &s.command;
        auto db = databasesById_.find(s.dbid);
        r.databaseName = db == databasesById_.end() ? nullptr : &db->second->name;
        return r;
    };

    for (const SessionDef& s : scenario_.sessions) {
        if ((!killed_.empty() && killedSpid(s.spid)) || !s.liveAt(t)) {
            continue;
        }
        ProcessRow r = fill(s);
        // Only the first row of a SPID (the coordinator) takes the timeline's waits; the
        // worker rows of a parallel query keep what the scenario gives them.
        if (s.blocked == 0) {
            auto eps = episodesByWaiter_.find(s.spid);
            if (eps != episodesByWaiter_.end()) {
                for (std::size_t i : eps->second) {
                    const Episode& e = scenario_.episodes[i];
                    if (t < e.from || t >= e.to || (!killed_.empty() && killedSpid(e.blocker))) {
                        continue;
                    }
                    r.blocked = e.blocker;
                    r.waittime = static_cast<long long>((t - e.from) * 1000.0);
                    r.waitType = &e.waitType;
                    r.waitResource = &e.waitResource;
                    r.status = &kSuspended;
                    break;
                }
            }
        }
        rows.push_back(r);
    }
    for (const auto& [spid, s] : connections_) {
        ProcessRow r = fill(s);
        if (spid == selfSpid) {
            r.status = &kRunnable;
            r.command = &kSelect;
        }
        rows.push_back(r);
    }
    if (!liveEpisodes_.empty()) {
        for (ProcessRow& r : rows) {
            for (const LiveEpisode& e : liveEpisodes_) {
                if (e.waiter == r.session->spid) {
                    r.blocked = e.blocker;
                    r.waittime =
                        std::chrono::duration_cast<std::chrono::milliseconds>(now - e.start)
                            .count();
                    r.waitType = &e.waitType;
                    r.waitResource = &e.waitResource;
                    r.status = &kSuspended;
                }
            }
        }
    }
    std::stable_sort(rows.begin(), rows.end(), [](const ProcessRow& a, const ProcessRow& b) {
        if (a.blocked != b.blocked) {
            return a.blocked < b.blocked;
        }
        return a.waittime < b.waittime;
    });
    return rows;
}

} // namespace tdssim
