// What an instance plays: its logins, databases, sessions and a timeline of blocking.
#pragma once

#include "Faults.h"

#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tdssim {

class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct LoginDef {
    std::string name;
    std::string password;
    bool sysadmin = false;
    // Without it the process query shows the login's own session only.
    bool viewServerState = true;
    // KILL needs it (or sysadmin).
    bool alterAnyConnection = false;
    // Unset, it follows view_server_state, as a grant of VIEW SERVER STATE implies it. From
    // SQL Server 2022 (major version 16) on it alone shows every session; reading the
    // system_health ring buffer needs it besides VIEW SERVER STATE, so "no" denies that read.
    std::optional<bool> viewServerPerformanceState;
    // Azure SQL Database's database-level permissions (Editions.h): every session of the
    // database and its input buffer, and KILL.
    bool viewDatabaseState = false;
    bool killDatabaseConnection = false;
    bool performanceState() const { return viewServerPerformanceState.value_or(viewServerState); }
};

struct DatabaseDef {
    int id = 0;
    std::string name;
};

// A table and one of its indexes, as the catalog names them for a wait resource's ids.
struct ObjectDef {
    int dbid = 0;
    long long id = 0;   // object_id
    long long hobt = 0; // hobt_id of the index (0: none)
    std::string schema = "dbo";
    std::string name;
    std::string index;
};

// One row of sysprocesses that the scenario owns. Several rows may share a SPID (the
// worker threads of a parallel query).
struct SessionDef {
    int spid = 0;
    std::string login = "sa";
    std::string host;
    std::string program;
    int dbid = 1; // a dbid without a database gives a NULL name
    std::string status = "sleeping";
    std::string command = "AWAITING COMMAND";
    long long cpu = 0;
    long long io = 0;
    long long memory = 0;
    int openTran = 0;
    // Values shown while no episode of the timeline applies.
    int blocked = 0;
    long long waittime = 0;
    std::string waitType = "MISCELLANEOUS";
    std::string waitResource;
    std::string inputBuffer;
    std::string eventType = "Language Event";
    std::string loginTime; // "yyyy-mm-dd hh:mi:ss.mmm"; set when the session starts
    // Its last batch began this many seconds before the server started (last_batch); its open
    // transaction, when open_tran > 0, this many (negative: as the last batch).
    double idle = 0;
    double transactionAge = -1;
    // The row exists while from <= t < to on the scenario clock, so that a SPID can be
    // handed to another session later.
    double from = -std::numeric_limits<double>::infinity();
    double to = std::numeric_limits<double>::infinity();

    bool liveAt(double t) const { return from <= t && t < to; }
};

constexpr double kForever = std::numeric_limits<double>::infinity();

// The waiter waits for the blocker from `from` to `to` (seconds on the scenario clock).
struct Episode {
    int waiter = 0;
    int blocker = 0;
    double from = 0;
    double to = kForever;
    std::string waitType = "LCK_M_X";
    std::string waitResource;
};

// A deadlock on the scenario clock: the sessions form a circle, each waiting for a lock that
// the next one holds; the server ends it by choosing the victim. A SPID named twice stands
// for two threads of one parallel query.
struct DeadlockDef {
    double at = 0; // second of the scenario clock (in every period)
    std::vector<int> spids;
    int victim = 0;                     // 0: the first of spids
    std::vector<std::string> resources; // per waiter: keylock, pagelock, objectlock, ridlock,
                                        // exchangeEvent; the last repeats; default keylock
    long long object = 0;               // object id of a scenario [object] locked; 0: any
    std::size_t reportChars = 0;        // the report is padded to at least this many characters (in
                                 // the first process's input buffer), as a long batch makes it
    // Control port only: characters of filler in the first session's input buffer (a report
    // of any size without holding it), and seconds its time lies ahead of the server's clock.
    std::uint64_t pad = 0;
    double ahead = 0;
    bool doctype = false; // the report starts with a document type declaration (hostile)
};

struct Scenario {
    std::string name;
    std::string serverName = "TDSSIM";
    double period = 0;     // the timeline repeats with this period (seconds); 0 = plays once
    int majorVersion = 15; // SERVERPROPERTY('ProductMajorVersion'): 15 is 2019, 16 is 2022
    // SERVERPROPERTY('EngineEdition') and ('ProductVersion', nullopt: NULL); rds adds an
    // rdsadmin database (Editions.h).
    int engineEdition = 3;
    std::optional<std::string> productVersion = std::string("15.0.2000.5");
    bool rds = false;
    std::vector<LoginDef> logins;
    std::vector<DatabaseDef> databases;
    std::vector<ObjectDef> objects;
    std::vector<SessionDef> sessions;
    std::vector<Episode> episodes;
    std::vector<DeadlockDef> deadlocks;
    std::size_t ringBufferEvents = 1000; // deadlock reports the ring buffer keeps
    std::map<int, Faults> faults;        // by instance index; -1 = every instance

    Faults faultsFor(int instance) const;
};

// Parses the INI text of a scenario (format in sim/README.md). Throws ScenarioError
// naming the line.
Scenario parseScenario(const std::string& text, const std::string& name);

// A built-in name ("demo", "edge"), a generator ("gen:sessions=10000,...") or a file path.
Scenario loadScenario(const std::string& nameOrPath);

} // namespace tdssim
