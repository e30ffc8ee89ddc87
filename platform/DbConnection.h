// The database connection: the settings, operations and events that the monitor drives,
// over ODBC.
//
// Threads. Each connection owns one worker thread that makes every blocking ODBC call, one
// operation at a time, in the order they were started. A slow, silent or dead server
// therefore holds up only its own connection. Results are posted back to the GUI thread,
// and every event handler runs there.
//
// Synchronous forms (Open with coConnectUnspecified, Execute without eoAsyncExecute, Connected
// during a pending connect) wait by dispatching events other than user input: timers and
// other connections' events keep running meanwhile, so handlers may re-enter this object.
// Each operation carries a number (TDbCommand::Id for executes); a synchronous wait returns
// only on its own operation's result, and a handler can tell which execute completed.
// A synchronous form delivers its own completion event before it returns.
//
// Cancel and Close abandon pending work: an abandoned operation's result is dropped and never
// raises an event; a synchronous caller that was waiting for it gets EDbError ("Operation
// cancelled"). A connect cannot be interrupted inside the driver, so abandoning one leaves its
// worker to finish (and close) on its own while a fresh worker serves this connection.
//
// Time-outs: ConnectionTimeout bounds the login, CommandTimeout every statement (seconds; 0 =
// no limit). A watchdog on the GUI side fails an operation that overruns its time-out by a few
// seconds (a server that ignores the driver's cancel request) and abandons its worker.
#pragma once

#include "DbRecordset.h"
#include "DbTypes.h"

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TOdbcWorker;
struct TDbPending;
struct TWorkerResult;

// The execute an OnExecuteComplete event belongs to.
struct TDbCommand {
    std::string CommandText;
    std::uint64_t Id = 0; // the number Execute gave it (see LastCommandId)
    TExecuteOptions Options = eoNone;
};

class TDbConnection : public QObject {
    Q_OBJECT

public:
    using TWillConnectEvent = std::function<void(
        TDbConnection& connection, std::string& connectionString, std::string& userId,
        std::string& password, TConnectOption& connectOptions, TEventStatus& status)>;
    using TConnectCompleteEvent =
        std::function<void(TDbConnection& connection, const TDbError* error, TEventStatus& status)>;
    using TExecuteCompleteEvent = std::function<void(
        TDbConnection& connection, int recordsAffected, const TDbError* error, TEventStatus& status,
        const TDbCommand& command, const TDbRecordsetPtr& recordset)>;
    using TInfoMessageEvent =
        std::function<void(TDbConnection& connection, const TDbError* error, TEventStatus& status)>;

    explicit TDbConnection(QObject* parent = nullptr);
    // Abandons whatever is pending; never waits for a server.
    ~TDbConnection() override;
    TDbConnection(const TDbConnection&) = delete;
    TDbConnection& operator=(const TDbConnection&) = delete;

    // Settings. The connection string is in OLE DB form and translated at every connect
    // (OdbcConnectionString.h); a "Connect Timeout" in it overrides ConnectionTimeout.
    std::string ConnectionString;
    std::uint32_t ConnectionTimeout = 15; // seconds
    std::uint32_t CommandTimeout = 3;     // seconds
    TConnectOption ConnectOptions = coConnectUnspecified;

    // Events, raised on the GUI thread.
    TWillConnectEvent OnWillConnect;         // before every connect
    TConnectCompleteEvent OnConnectComplete; // after every connect that was not abandoned
    TExecuteCompleteEvent OnExecuteComplete; // after every execute that was not abandoned
    TInfoMessageEvent OnInfoMessage;         // informational messages of the server

    // Open: the connection is up. Waits for the outcome of a pending connect.
    bool Connected();
    void SetConnected(bool value); // true = Open, false = Close
    // Raises OnWillConnect, then connects. Synchronous (coConnectUnspecified): returns with the
    // outcome, a failure throws EDbError after OnConnectComplete. Asynchronous: returns at once.
    // Nothing when open; a pending connect is waited for when synchronous.
    void Open();
    // Abandons pending work and closes; nothing when closed.
    void Close();
    // Abandons a pending connect or execute; returns whether something was abandoned.
    // Succeeds also when nothing is pending. An abandoned connect leaves the connection closed;
    // an abandoned execute leaves it open.
    bool Cancel();

    // Opens a closed connection first (synchronously, with its events). Synchronous forms
    // return the recordset (none with eoExecuteNoRecords; a closed one when the statement
    // returned no result set) after OnExecuteComplete, and throw EDbError on failure.
    // eoAsyncExecute returns none at once; the outcome comes in OnExecuteComplete.
    TDbRecordsetPtr Execute(const std::string& commandText, TExecuteOptions options = eoNone);

    // The number of the execute last started (also of a synchronous one).
    std::uint64_t LastCommandId() const { return LastExecuteId; }
    // A connect or an execute is pending (started and not yet delivered or abandoned).
    bool HasPendingWork() const { return !Pending.empty(); }
    bool Connecting() const { return Link == TLinkState::Connecting; }

    // Where an error escaping an event handler goes when no caller can take it (an
    // asynchronous event); the default prints it to standard error.
    static std::function<void(const std::exception&)> UnhandledEventError;

    // The errors and messages of the last operation that reported any (ADO's Errors).
    std::vector<TDbError> Errors;

    // What the last successful connect got: "Encrypted (TLSv1.2), certificate verified",
    // "Not encrypted ...", ...; empty while closed or when the server could not be looked at.
    std::string EncryptionState;

private:
    enum class TLinkState : std::uint8_t { Closed, Connecting, Open };

    std::uint64_t StartConnect(bool synchronous);
    TDbPending* Find(std::uint64_t id);
    std::unique_ptr<TDbPending> Take(std::uint64_t id);
    bool WaitUntil(const std::function<bool()>& done);
    std::unique_ptr<TDbPending> AwaitCompletion(std::uint64_t id);
    void OnWorkerResult(TWorkerResult&& result);
    void Complete(TDbPending& op, TWorkerResult&& result);
    void DeliverConnect(std::unique_ptr<TDbPending> op);
    void DeliverExecute(std::unique_ptr<TDbPending> op, TDbRecordsetPtr* syncResult);
    void DeliverMessages(const TWorkerResult& result);
    void AbandonAll(const TDbError& error, bool keepWorker);
    void ArmWatchdog(std::uint64_t id, std::uint32_t seconds);
    void StartClock(TDbPending& op);
    TDbPending* Running();
    void WatchdogFired();
    TOdbcWorker& Worker();
    void DropWorker();
    void ReportHandlerError(const std::exception& error);

    TLinkState Link = TLinkState::Closed;
    std::uint64_t NextId = 0;
    std::uint64_t LastExecuteId = 0;
    std::vector<std::unique_ptr<TDbPending>> Pending; // started, not delivered, in order
    std::shared_ptr<TOdbcWorker> CurrentWorker;
    std::shared_ptr<bool> Alive; // false once destroyed; checked after a nested wait
    // One timer for the operation that runs, not one per operation: with hundreds of
    // connections, thousands of pending timers made every timer start and stop slow.
    QTimer Watchdog;
};
