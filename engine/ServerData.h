// TServerData: the monitor of one registered server. It owns the server's connection, the
// latest process snapshot and a small state, starts a refresh cycle on Refresh, finishes it in
// the connection's completion events (always on the GUI thread) and reports every step to its
// owner (IServerOwner). All fields are public, named as the rest of the program reads them;
// only the process view writes SelectedSpid, and nothing outside the monitor writes the rest.
//
// Re-entrancy. The synchronous statements (CheckSysAdmin, GetInputBuffer, KillProcess, the
// login's connect) wait by dispatching events, so timer refreshes and events of this and other
// monitors can run in the middle of them. The sysadmin question after an asynchronous connect
// is the one exception: it is sent asynchronously and its completion finishes the connect step
// (same statements, order and call-backs), because a wait there would nest inside other
// monitors' handlers and hold them up for as long as this server takes to answer. CommandKind alone
// cannot tell which execute a completion belongs to then, so the monitor remembers the number of
// the process query it started (QueryId) and treats an execute completion as the query's exactly
// when the numbers match: the statements' own completions, and those of a query that was replaced,
// are ignored, and the query's completion is read even when a statement set CommandKind meanwhile
// (so Busy never stays set). Disconnect abandons whatever is pending; abandoned work raises no
// event, so Disconnect clears Busy itself when it abandoned the work that Refresh started.
#pragma once

#include "BlockingAnalysis.h"
#include "DbConnection.h"
#include "DbDataSet.h"
#include "DeadlockReader.h"
#include "LockWaits.h"
#include "ProcessList.h"
#include "ReconnectBackoff.h"
#include "ServerEdition.h"
#include "ServerInfo.h"
#include "SessionActivity.h"
#include "SessionLookups.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

class IServerOwner;

class TServerData {
public:
    // Runs ApplyServerInfo with the record; its error undoes the construction and propagates.
    TServerData(IServerOwner& owner, const TServerInfo& info);
    // Disconnect; never waits for a server.
    ~TServerData();
    TServerData(const TServerData&) = delete;
    TServerData& operator=(const TServerData&) = delete;

    // Takes new settings; may show the login dialog. Errors reach the caller.
    void ApplyServerInfo(const TServerInfo& info);
    // Starts one refresh cycle (a connect or the process query) and returns; catches its own
    // errors. Does nothing when disabled or while ApplyServerInfo runs. Does not look at Busy.
    void Refresh();
    // Synchronous statements on this monitor's connection; every error reaches the caller
    // (as EOleException for the server's errors).
    bool CheckSysAdmin();
    std::string GetInputBuffer(std::int32_t spid);
    void KillProcess(std::int32_t spid);
    // Who the SPID belongs to now; nothing when no such session exists.
    std::optional<TSessionIdentity> ReadSessionIdentity(std::int32_t spid);
    TDatabaseNames ReadDatabaseNames();
    // Learns DatabaseNames without waiting, once per connection, on an open connection that is
    // not connecting; false when nothing was sent. A failure leaves the names unknown.
    bool RequestDatabaseNames();
    // The one row of a catalog query made by ObjectNamesQuery.
    TObjectNames ReadObjectNames(const std::string& query);
    // The one row of LastBatchQuery or TransactionAgeQuery: a time and its age by the
    // server's clock.
    TAgeRead ReadAge(const std::string& query);
    // GetInputBuffer without waiting: the answer comes to done on the GUI thread, the text or
    // nullptr when the statement failed. Only on an open connection that is not connecting
    // (false otherwise, and done is never called); work that Disconnect abandons never calls
    // done either.
    using TInputBufferDone = std::function<void(const std::string* text)>;
    bool RequestInputBuffer(std::int32_t spid, TInputBufferDone done);
    // ReadSessionIdentity without waiting, by the same rules: done gets the identity, or
    // nullptr when no such session exists or the statement failed.
    using TSessionIdentityDone = std::function<void(const TSessionIdentity* identity)>;
    bool RequestSessionIdentity(std::int32_t spid, TSessionIdentityDone done);

    // Steps of the cycle; public for the owner's tests, not for other callers.
    void QueryProcesses();
    void ReadProcesses();
    void NotifyChanged(bool checkWarning);
    void SetError();
    void Disconnect();
    void AnalyzeConnectionString();
    void PromptLogin();

    // The connection's event handlers.
    void ADOConnectionWillConnect(TDbConnection& connection, std::string& connectionString,
                                  std::string& userId, std::string& password,
                                  TConnectOption& connectOptions, TEventStatus& status);
    void ADOConnectionConnectComplete(TDbConnection& connection, const TDbError* error,
                                      TEventStatus& status);
    void ADOConnectionExecuteComplete(TDbConnection& connection, int recordsAffected,
                                      const TDbError* error, TEventStatus& status,
                                      const TDbCommand& command, const TDbRecordsetPtr& recordset);
    void ADOConnectionInfoMessage(TDbConnection& connection, const TDbError* error,
                                  TEventStatus& status);

    // The process query, three lines joined by CR LF.
    static const char* const ProcessQueryText;
    static const char* const SysAdminQueryText;

    TDbConnection ADOConnection;
    TDbDataSet ProcessesAD;
    TServerInfo Info{};
    std::uint8_t State = 0;       // 0 no blocked process, 1 some process blocked, 2 error
    std::uint8_t CommandKind = 0; // last statement: 0 query, 1 input buffer, 2 kill, 3 sysadmin,
                                  // 4 catalog read
    TProcessList ProcessList;
    // Who blocks whom in ProcessList: worked out right after a snapshot is read, so readers
    // share it; worked out here only when the list changed otherwise since (a test filling it).
    const TBlockingAnalysis& Analysis() const;
    std::int32_t SelectedSpid = 0; // the process view's selection, 0 for none
    // The rows the user expanded in the process view, by the SPIDs from the top row down.
    std::set<std::vector<std::int32_t>> ExpandedPaths;
    // The head sessions of the chains in ExpandedPaths: their login time (empty until read)
    // tells the same session from one that took over its SPID; Blocking is whether it blocked
    // in the last view of this server.
    struct TOpenedChain {
        std::string LoginTime;
        bool Blocking = false;
    };
    std::map<std::int32_t, TOpenedChain> OpenedChains;
    // When the automatic refresh tries again after failed connects; its owner sets the interval.
    TReconnectBackoff Reconnect;

    bool Busy = false;            // a connect or process query started by Refresh is pending
    std::int32_t MaxWaitTime = 0; // longest waittime among rows with blocked > 0
    bool Warned = false;          // warned for this blocking episode (WarnOnlyOnce)
    bool IsSysAdmin = false;
    // What the login may see and do, asked together with IsSysAdmin at connect.
    bool CanViewServerState = false;    // every session's rows and input buffer
    bool CanAlterAnyConnection = false; // KILL (sysadmin holds it too)
    // Every session's rows: VIEW SERVER STATE, or on SQL Server 2022 and later VIEW SERVER
    // PERFORMANCE STATE (which does not open input buffers).
    bool CanViewPerformanceState = false;
    std::string LoginName; // suser_sname(), for the grant we suggest
    // The kind of server and its ProductVersion (safe to show; empty when unknown), asked
    // with the permissions. On Azure SQL Database CanViewServerState stands for VIEW DATABASE
    // STATE (or ##MS_ServerStateReader##) and CanAlterAnyConnection for KILL DATABASE
    // CONNECTION.
    TServerEdition Edition = TServerEdition::SqlServer;
    std::string ProductVersion;
    // The process query for Edition: the box's own, or its DMV form on Azure SQL Database.
    const char* ProcessQueryFor() const;
    // LastBatchQuery, or its DMV form where master cannot be named.
    std::string LastBatchQueryFor(std::int32_t spid) const;
    std::string SessionIdentityQueryFor(std::int32_t spid) const;
    const char* DatabaseNamesQueryFor() const;
    bool DeadlocksNotOffered = false; // said once: this edition has no deadlock source we read
    // Without VIEW SERVER STATE the process list holds only our own session: never an all-clear.
    // Shown as an error (State 2) with its own text; the connection stays open and each refresh
    // asks the permissions again instead of the process query.
    bool SeesOnlyOwnSession = false;
    bool MayKill() const { return IsSysAdmin || CanAlterAnyConnection; }
    // The last command of a session: DBCC INPUTBUFFER for sysadmin, else
    // sys.dm_exec_input_buffer unless this server lacks it (NoDmInputBuffer).
    bool UsesDmInputBuffer() const;
    std::string InputBufferQuery(std::int32_t spid) const;
    bool NoDmInputBuffer = false; // learned per connection
    // "sees only its own session: GRANT VIEW SERVER STATE TO [login]"
    std::string OwnSessionOnlyText() const;
    // Warnings (sound, balloon) are held back until this moment; the state still updates.
    std::chrono::system_clock::time_point MutedUntil{};
    bool Muted() const { return std::chrono::system_clock::now() < MutedUntil; }
    // Database names by id, learned on demand; empty until then.
    TDatabaseNames DatabaseNames;
    bool DatabaseNamesAsked = false; // RequestDatabaseNames sent its query on this connection
    bool NeedsLogin = false;         // the connection string carries no credentials
    std::string UserId;              // credentials entered in the login dialog; memory only
    std::string Password;
    bool Enabled = false;        // monitoring is on
    bool Loading = false;        // ApplyServerInfo is running
    std::uint64_t Snapshots = 0; // snapshots read successfully since creation
    // When the latest of them was read (the figures shown are "as of" this moment).
    std::chrono::system_clock::time_point SnapshotTime{};

    // The execute numbers of the outstanding process query and of the sysadmin question
    // asked after a connect, 0 when none.
    std::uint64_t QueryId = 0;
    std::uint64_t SysAdminId = 0;
    std::uint64_t DatabaseNamesId = 0; // RequestDatabaseNames's execute, 0 when none

    // Deadlock reports (ReadDeadlocks.cpp), when the owner turns ReadsDeadlocks on. After a
    // snapshot, at most once per
    // DeadlockReadInterval, the reports new since the last read are read on this connection
    // (behind the process query, never beside it) and handed to the owner's DeadlocksRead.
    // Without a known time the first read takes the server's clock, so reports from before the
    // start are not taken, except those of the last DeadlockBacklog (handed over like new ones:
    // the owner keeps them and announces none from before its start); SetDeadlocksKnownUpTo
    // (the newest report kept in a history) makes it go on from there instead, unless that lies
    // more than a minute ahead of the server's clock. A read that fails is logged once and tried
    // again after ten intervals; monitoring goes on.
    void SetDeadlocksKnownUpTo(std::int64_t msSince1970);
    // Sends the read when it is due, on an open connection; false when nothing was sent.
    bool RequestDeadlocks();
    bool ReadsDeadlocks = false;
    std::chrono::steady_clock::duration DeadlockReadInterval = std::chrono::minutes(1);
    std::chrono::system_clock::duration DeadlockBacklog{};
    TDeadlockCursor DeadlockCursor;
    std::uint64_t DeadlockReports = 0; // reports handed to the owner since creation
    bool DeadlocksUnreadable = false;  // the last read failed; said once in the error log
    std::uint64_t DeadlockReadId = 0;  // the outstanding read's execute, 0 when none

    // Lock waits (ReadLockWaits.cpp): read right behind each deadlock read that worked, so at
    // most as often; a calm refresh sends nothing more. A read that fails is logged once.
    bool RequestLockWaits();
    TLockWaitTally LockWaits;
    bool LockWaitsUnreadable = false;
    std::uint64_t LockWaitReadId = 0; // the outstanding read's execute, 0 when none

private:
    void FinishConnect(const TDbError* error, TEventStatus status,
                       const TDbRecordsetPtr& recordset);
    // Reads the permission row into IsSysAdmin and the fields beside it.
    void ReadPermissions(const TDbRecordsetPtr& recordset);
    // The edition's columns of that row; an edition we cannot watch throws.
    void ReadEdition(TDbDataSet& dataSet);
    // Sets or clears SeesOnlyOwnSession; true when the process query may run.
    bool CheckVisibility();

    struct TInputBufferRequest {
        TInputBufferDone Done;
        std::int32_t Spid = 0;
        bool Dm = false; // asked through sys.dm_exec_input_buffer
    };
    void FinishInputBuffer(const TInputBufferRequest& request, TEventStatus status,
                           const TDbRecordsetPtr& recordset);
    void FinishDatabaseNames(TEventStatus status, const TDbRecordsetPtr& recordset);
    void FinishDeadlocks(const TDbError* error, TEventStatus status,
                         const TDbRecordsetPtr& recordset);
    // Says once that a report's time lies ahead of the server's clock.
    void SayDeadlockAhead(const char* what, std::int64_t time, std::int64_t clock);
    void FinishLockWaits(const TDbError* error, TEventStatus status,
                         const TDbRecordsetPtr& recordset);

    IServerOwner& Owner;
    mutable TBlockingAnalysis Analysis_;
    bool ConnectPending = false;    // the connect that Refresh started has not completed
    bool DeadlockClockRead = false; // the outstanding deadlock read asks the server's clock
    bool DeadlockAheadSaid = false; // a report dated ahead of the server's clock was logged
    std::chrono::steady_clock::time_point NextDeadlockRead{};
    std::map<std::uint64_t, TInputBufferRequest> InputBufferRequests; // by execute number
    std::map<std::uint64_t, TSessionIdentityDone> IdentityRequests;   // by execute number
};

// The identity in the answer to SessionIdentityQuery; nothing when it holds no row.
std::optional<TSessionIdentity> SessionIdentityFrom(const TDbRecordsetPtr& records);
