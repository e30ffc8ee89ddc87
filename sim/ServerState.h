// The live state of one instance: the scenario's sessions, the client connections that are
// sessions too, the blocking timeline on its clock, and the instance's faults.
#pragma once

#include "Deadlocks.h"
#include "Scenario.h"
#include "WaitStats.h"

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tdssim {

// One row of the process query, computed for the moment of the query.
struct ProcessRow {
    const SessionDef* session = nullptr;
    int blocked = 0;
    long long waittime = 0;
    const std::string* waitType = nullptr;
    const std::string* waitResource = nullptr;
    const std::string* status = nullptr;
    const std::string* command = nullptr;
    const std::string* databaseName = nullptr; // null: no database matches
};

struct InputBuffer {
    std::string eventType;
    std::string text;
};

enum class KillResult { Killed, NotFound };

class ServerState {
public:
    ServerState(Scenario scenario, int instanceIndex, Clock::time_point start);

    const Scenario& scenario() const { return scenario_; }
    int instanceIndex() const { return instance_; }
    Faults& faults() { return faults_; }

    const LoginDef* findLogin(const std::string& name) const;
    const DatabaseDef* findDatabase(const std::string& name) const;
    const DatabaseDef* findDatabase(int id) const;

    // A client connection becomes a session; returns its SPID.
    int attachConnection(const SessionDef& row);
    void detachConnection(int spid);
    // The row of a connected session, to update its database, command and input buffer.
    SessionDef* connectionRow(int spid);

    bool spidExists(int spid) const;
    bool isConnection(int spid) const { return connections_.count(spid) != 0; }
    // The first row of the session that holds the SPID at that moment (a client connection
    // or a scenario session), or null.
    const SessionDef* sessionRow(int spid, Clock::time_point now) const;
    // When that session logged in, as convert(varchar(23), login_time, 121) gives it.
    std::string loginTime(const SessionDef& session, Clock::time_point now) const;
    // sysprocesses.last_batch of the session that holds the SPID, and the begin time of its
    // open transaction (nothing without one), as convert(varchar(23), x, 121) gives them;
    // nothing for an unknown SPID. serverTime() is getdate() in the same form.
    std::optional<std::string> lastBatch(int spid, Clock::time_point now) const;
    // The same for a row of the session (never before its login time).
    std::string lastBatch(const SessionDef& session, Clock::time_point now) const;
    std::optional<std::string> transactionBegin(int spid, Clock::time_point now) const;
    std::string serverTime() const;
    // A client connection sent a batch or an RPC: its last_batch is now, and a transaction
    // that this request opens begins now.
    void noteBatch(int spid);
    // A scenario object by its object id, or by the hobt id of its index.
    const ObjectDef* findObject(int dbid, long long id, bool byHobt) const;
    // The input buffer of the session that holds the SPID at that moment.
    std::optional<InputBuffer> inputBuffer(int spid, Clock::time_point now) const;
    // Ends the session; a client connection is closed through onKillConnection.
    KillResult kill(int spid);
    std::function<void(int spid)> onKillConnection;

    // Rows as "order by blocked, waittime" returns them. selfSpid's row is shown running.
    std::vector<ProcessRow> processRows(Clock::time_point now, int selfSpid) const;

    // Scenario clock in seconds (wrapped by the period).
    double scenarioTime(Clock::time_point now) const;
    // The same clock not wrapped by the period.
    double elapsedTime(Clock::time_point now) const;

    // The deadlock reports of the system_health ring buffer, brought up to now.
    DeadlockRing& deadlocks(Clock::time_point now);
    void setScenarioTime(double seconds, Clock::time_point now);
    // sys.dm_os_wait_stats summed over the lock wait types, brought up to now.
    LockWaitTotals lockWaits(Clock::time_point now);

    // Blocking started from the control port: lasts until unblock or a kill.
    void block(int waiter, int blocker, std::string waitType, std::string waitResource,
               Clock::time_point now);
    // Ends control-port blocking of the waiter; returns how many episodes ended.
    int unblock(int waiter);

private:
    struct LiveEpisode {
        int waiter;
        int blocker;
        Clock::time_point start;
        std::string waitType;
        std::string waitResource;
    };

    bool killedSpid(int spid) const { return killed_.count(spid) != 0; }

    Scenario scenario_;
    int instance_;
    Faults faults_;
    Clock::time_point clockZero_;
    std::map<int, SessionDef> connections_; // by SPID
    struct ConnectionTimes {
        std::chrono::system_clock::time_point lastBatch;
        std::chrono::system_clock::time_point transactionBegin; // when open_tran > 0
    };
    std::map<int, ConnectionTimes> connectionTimes_; // by SPID
    std::chrono::system_clock::time_point wallZero_; // the wall clock when the server started
    std::set<int> scenarioSpids_;
    std::set<int> killed_; // scenario SPIDs ended by KILL
    std::vector<LiveEpisode> liveEpisodes_;
    std::map<int, const DatabaseDef*> databasesById_;
    std::map<int, std::vector<std::size_t>> episodesByWaiter_;
    DeadlockRing deadlocks_;
    WaitStats waitStats_;
};

} // namespace tdssim
