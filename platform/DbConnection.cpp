#include "DbConnection.h"

#include "OdbcConnectionString.h"
#include "OdbcWorker.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <iostream>

struct TDbPending {
    std::uint64_t Id = 0;
    bool IsConnect = false;
    bool Synchronous = false;
    bool IntegratedSecurity = false; // connects: the driver was asked for Kerberos
    TDbCommand Command;              // executes
    bool Done = false;               // the result is in; a synchronous waiter has yet to take it
    TWorkerResult Result;
    std::uint32_t Seconds = 0; // its time-out (0: none)
    // When the watchdog gives up on it; its time begins when it runs.
    std::chrono::steady_clock::time_point Deadline = std::chrono::steady_clock::time_point::max();
};

namespace {

// A driver that ignores its own time-out gets this long before the connection gives up on it.
constexpr std::uint32_t WatchdogGraceSeconds = 3;

TDbError CancelledError() {
    return MakeDbError("Operation cancelled", "HY008");
}

} // namespace

std::function<void(const std::exception&)> TDbConnection::UnhandledEventError =
    [](const std::exception& e) {
        std::cerr << "Tallyvane: error in a database event handler: " << e.what() << '\n';
    };

TDbConnection::TDbConnection(QObject* parent)
    : QObject(parent), Alive(std::make_shared<bool>(true)) {
    Watchdog.setSingleShot(true);
    connect(&Watchdog, &QTimer::timeout, this, [this] {
        try {
            WatchdogFired();
        } catch (const std::exception& e) {
            ReportHandlerError(e);
        } catch (...) {
            ReportHandlerError(std::runtime_error("Unknown error in a database event handler"));
        }
    });
}

TDbConnection::~TDbConnection() {
    *Alive = false;
    Pending.clear();
    DropWorker();
}

TOdbcWorker& TDbConnection::Worker() {
    if (!CurrentWorker) {
        CurrentWorker = TOdbcWorker::Start(
            this, [this](TWorkerResult&& result) { OnWorkerResult(std::move(result)); });
    }
    return *CurrentWorker;
}

void TDbConnection::DropWorker() {
    if (CurrentWorker) {
        CurrentWorker->Abandon();
        CurrentWorker.reset();
    }
}

TDbPending* TDbConnection::Find(std::uint64_t id) {
    for (auto& op : Pending) {
        if (op->Id == id) {
            return op.get();
        }
    }
    return nullptr;
}

std::unique_ptr<TDbPending> TDbConnection::Take(std::uint64_t id) {
    for (auto it = Pending.begin(); it != Pending.end(); ++it) {
        if ((*it)->Id == id) {
            std::unique_ptr<TDbPending> op = std::move(*it);
            Pending.erase(it);
            return op;
        }
    }
    return nullptr;
}

// Waits for a synchronous operation of ours; one that was abandoned meanwhile ends as cancelled.
std::unique_ptr<TDbPending> TDbConnection::AwaitCompletion(std::uint64_t id) {
    if (!WaitUntil([this, id] {
            TDbPending* p = Find(id);
            return p == nullptr || p->Done;
        })) {
        throw EDbError(CancelledError());
    }
    std::unique_ptr<TDbPending> done = Take(id);
    if (!done) {
        throw EDbError(CancelledError());
    }
    return done;
}

bool TDbConnection::WaitUntil(const std::function<bool()>& done) {
    // Not a QEventLoop: once the application is quitting, QEventLoop::exec returns at once, and
    // the wait would spin without ever seeing its result. Every change the predicate looks at
    // comes from an event dispatched here (or in a wait nested inside), after which
    // processEvents returns.
    const std::shared_ptr<bool> alive = Alive;
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                        QEventLoop::WaitForMoreEvents);
        if (!*alive) {
            return false;
        }
    }
    return true;
}

void TDbConnection::ReportHandlerError(const std::exception& error) {
    if (UnhandledEventError) {
        UnhandledEventError(error);
    }
}

bool TDbConnection::Connected() {
    if (Link == TLinkState::Connecting &&
        !WaitUntil([this] { return Link != TLinkState::Connecting; })) {
        return false;
    }
    return Link == TLinkState::Open;
}

void TDbConnection::SetConnected(bool value) {
    if (value) {
        Open();
    } else {
        Close();
    }
}

void TDbConnection::Open() {
    if (Link == TLinkState::Open) {
        return;
    }
    if (Link == TLinkState::Connecting) {
        if (ConnectOptions == coConnectUnspecified && !Connected()) {
            throw EDbError(MakeDbError("Connection is not open", "08003"));
        }
        return;
    }
    StartConnect(ConnectOptions == coConnectUnspecified);
}

void TDbConnection::Close() {
    AbandonAll(CancelledError(), false);
    Link = TLinkState::Closed;
    EncryptionState.clear();
}

bool TDbConnection::Cancel() {
    const bool connecting = std::any_of(Pending.begin(), Pending.end(),
                                        [](const auto& op) { return op->IsConnect && !op->Done; });
    const bool any =
        std::any_of(Pending.begin(), Pending.end(), [](const auto& op) { return !op->Done; });
    if (!any) {
        return false;
    }
    // A login cannot be interrupted inside the driver: leave it to its worker.
    AbandonAll(CancelledError(), !connecting);
    if (connecting) {
        Link = TLinkState::Closed;
    }
    return true;
}

void TDbConnection::AbandonAll(const TDbError& /*error*/, bool keepWorker) {
    if (keepWorker && CurrentWorker) {
        CurrentWorker->DropQueued();
    } else {
        DropWorker();
    }
    // Results already in stay for their synchronous waiters; the rest is dropped, and a
    // waiter that finds its operation gone reports it as cancelled.
    Pending.erase(
        std::remove_if(Pending.begin(), Pending.end(), [](const auto& op) { return !op->Done; }),
        Pending.end());
}

std::uint64_t TDbConnection::StartConnect(bool synchronous) {
    std::string connectionString = ConnectionString;
    std::string userId;
    std::string password;
    TConnectOption options = ConnectOptions;
    TEventStatus status = esOK;
    if (OnWillConnect) {
        OnWillConnect(*this, connectionString, userId, password, options, status);
    }

    auto op = std::make_unique<TDbPending>();
    op->Id = ++NextId;
    op->IsConnect = true;
    op->Synchronous = synchronous;
    const std::uint64_t id = op->Id;

    TWorkerResult failure;
    failure.Id = id;
    bool failed = false;
    TOdbcConnectInfo info;
    if (status == esCancel) {
        failure.Error = MakeDbError("Operation cancelled by the will-connect handler", "HY008");
        failed = true;
    } else {
        try {
            info = TranslateConnectionString(connectionString, userId, password);
        } catch (const EDbError& e) {
            failure.Error = e.Error;
            failed = true;
        }
    }

    Link = TLinkState::Connecting;
    Pending.push_back(std::move(op));
    if (failed) {
        // The outcome is known already; it is delivered like any other.
        QMetaObject::invokeMethod(
            this,
            [this, id, failure]() mutable {
                if (TDbPending* p = Find(id); p && !p->Done) {
                    try {
                        Complete(*p, std::move(failure));
                    } catch (const std::exception& e) {
                        ReportHandlerError(e);
                    } catch (...) {
                        ReportHandlerError(
                            std::runtime_error("Unknown error in a database event handler"));
                    }
                }
            },
            Qt::QueuedConnection);
    } else {
        Pending.back()->IntegratedSecurity = info.IntegratedSecurity;
        const std::uint32_t timeout = info.ConnectTimeout.value_or(ConnectionTimeout);
        TWorkerJob job;
        job.Type = TWorkerJob::Connect;
        job.Id = id;
        job.Text = std::move(info.OdbcString);
        job.Timeout = timeout;
        job.Host = info.Host;
        job.Port = info.Port;
        job.Encryption = info.Encryption;
        job.DataSource = std::move(info.DataSource);
        job.UserId = std::move(info.UserId);
        job.Password = std::move(info.Password);
        Worker().Submit(std::move(job));
        ArmWatchdog(id, timeout);
    }
    if (!synchronous) {
        return id;
    }

    std::unique_ptr<TDbPending> done = AwaitCompletion(id);
    const bool ok = done->Result.Ok;
    const TDbError error = done->Result.Error;
    DeliverConnect(std::move(done));
    if (!ok) {
        throw EDbError(error);
    }
    return id;
}

TDbRecordsetPtr TDbConnection::Execute(const std::string& commandText, TExecuteOptions options) {
    const std::shared_ptr<bool> alive = Alive;
    if (!Connected()) {
        if (!*alive) {
            throw EDbError(CancelledError());
        }
        StartConnect(true);
        if (!*alive) {
            throw EDbError(CancelledError());
        }
    }
    auto op = std::make_unique<TDbPending>();
    op->Id = ++NextId;
    op->Synchronous = (options & eoAsyncExecute) == 0;
    op->Command.CommandText = commandText;
    op->Command.Id = op->Id;
    op->Command.Options = options;
    const std::uint64_t id = op->Id;
    LastExecuteId = id;

    TWorkerJob job;
    job.Type = TWorkerJob::Execute;
    job.Id = id;
    job.Text = commandText;
    job.Timeout = CommandTimeout;
    job.NoRecords = (options & eoExecuteNoRecords) != 0;
    const bool synchronous = op->Synchronous;
    Pending.push_back(std::move(op));
    Worker().Submit(std::move(job));
    ArmWatchdog(id, CommandTimeout);
    if (!synchronous) {
        return nullptr;
    }

    std::unique_ptr<TDbPending> done = AwaitCompletion(id);
    const bool ok = done->Result.Ok;
    const TDbError error = done->Result.Error;
    TDbRecordsetPtr recordset;
    DeliverExecute(std::move(done), &recordset);
    if (!ok) {
        throw EDbError(error);
    }
    return recordset;
}

void TDbConnection::OnWorkerResult(TWorkerResult&& result) {
    TDbPending* op = Find(result.Id);
    if (op == nullptr || op->Done) {
        return; // abandoned
    }
    try {
        Complete(*op, std::move(result));
    } catch (const std::exception& e) {
        ReportHandlerError(e);
    } catch (...) {
        ReportHandlerError(std::runtime_error("Unknown error in a database event handler"));
    }
}

void TDbConnection::Complete(TDbPending& op, TWorkerResult&& result) {
    op.Done = true;
    op.Result = std::move(result);
    if (TDbPending* next = Running()) {
        StartClock(*next); // the worker goes on with it now
    }
    const std::int32_t native = op.Result.Error.NativeError;
    if (op.IsConnect && !op.Result.Ok && op.IntegratedSecurity &&
        (native == 0 || (native >= 20000 && native < 21000))) {
        // The driver's own words ("Adaptive Server connection failed") do not say why.
        op.Result.Error.Description +=
            " (integrated security: the ODBC driver signs in with Kerberos, which needs a ticket "
            "for this user (kinit) and a server name that Kerberos knows; otherwise give a user "
            "name and password)";
    }
    if (op.IsConnect) {
        Link = op.Result.Ok ? TLinkState::Open : TLinkState::Closed;
        EncryptionState = op.Result.Ok ? op.Result.EncryptionState : std::string();
    }
    if (op.Synchronous) {
        // the waiting call delivers the event itself
        return;
    }
    std::unique_ptr<TDbPending> owned = Take(op.Id);
    if (owned->IsConnect) {
        DeliverConnect(std::move(owned));
    } else {
        DeliverExecute(std::move(owned), nullptr);
    }
}

void TDbConnection::DeliverMessages(const TWorkerResult& result) {
    Errors = result.Messages;
    if (!result.Ok) {
        Errors.push_back(result.Error);
    }
    if (!OnInfoMessage) {
        return;
    }
    const std::shared_ptr<bool> alive = Alive;
    for (const TDbError& message : result.Messages) {
        TEventStatus status = esOK;
        OnInfoMessage(*this, &message, status);
        if (!*alive) {
            return;
        }
    }
}

void TDbConnection::DeliverConnect(std::unique_ptr<TDbPending> op) {
    const std::shared_ptr<bool> alive = Alive;
    DeliverMessages(op->Result);
    if (!*alive || !OnConnectComplete) {
        return;
    }
    TEventStatus status = op->Result.Ok ? esOK : esErrorsOccured;
    OnConnectComplete(*this, op->Result.Ok ? nullptr : &op->Result.Error, status);
}

void TDbConnection::DeliverExecute(std::unique_ptr<TDbPending> op, TDbRecordsetPtr* syncResult) {
    if (syncResult != nullptr) {
        *syncResult = op->Result.Recordset;
    }
    const std::shared_ptr<bool> alive = Alive;
    DeliverMessages(op->Result);
    if (!*alive || !OnExecuteComplete) {
        return;
    }
    TEventStatus status = op->Result.Ok ? esOK : esErrorsOccured;
    OnExecuteComplete(*this, op->Result.RecordsAffected,
                      op->Result.Ok ? nullptr : &op->Result.Error, status, op->Command,
                      op->Result.Recordset);
}

TDbPending* TDbConnection::Running() {
    for (auto& op : Pending) {
        if (!op->Done) {
            return op.get();
        }
    }
    return nullptr;
}

void TDbConnection::ArmWatchdog(std::uint64_t id, std::uint32_t seconds) {
    TDbPending* op = Find(id);
    if (op == nullptr || seconds == 0) {
        return;
    }
    op->Seconds = seconds;
    if (op == Running()) {
        StartClock(*op);
    }
}

// The operation runs from now on: its time-out begins.
void TDbConnection::StartClock(TDbPending& op) {
    if (op.Seconds == 0 || op.Deadline != std::chrono::steady_clock::time_point::max()) {
        return;
    }
    const auto limit =
        std::chrono::seconds(static_cast<std::uint64_t>(op.Seconds) + WatchdogGraceSeconds);
    op.Deadline = std::chrono::steady_clock::now() + limit;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::min<std::chrono::steady_clock::duration>(limit, std::chrono::hours(24 * 20)));
    if (!Watchdog.isActive() || Watchdog.remainingTime() > ms.count()) {
        Watchdog.start(ms);
    }
}

void TDbConnection::WatchdogFired() {
    TDbPending* op = Running();
    if (op == nullptr) {
        return;
    }
    StartClock(*op);
    const auto now = std::chrono::steady_clock::now();
    if (op->Seconds == 0) {
        return; // no limit; the next operation starts its clock when it runs
    }
    if (now < op->Deadline) {
        Watchdog.start(std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::min<std::chrono::steady_clock::duration>(
                               op->Deadline - now, std::chrono::hours(24 * 20))) +
                       std::chrono::milliseconds(1));
        return;
    }
    const std::uint64_t id = op->Id;
    // The driver did not give up on its own: drop its worker (and the connection with it) and
    // fail what was pending, so that the caller hears of it within the time-out.
    DropWorker();
    Link = TLinkState::Closed;
    std::vector<std::uint64_t> ids;
    for (const auto& p : Pending) {
        if (!p->Done) {
            ids.push_back(p->Id);
        }
    }
    const std::shared_ptr<bool> alive = Alive;
    for (std::uint64_t each : ids) {
        TDbPending* p = Find(each);
        if (p == nullptr || p->Done) {
            continue;
        }
        TWorkerResult failure;
        failure.Id = each;
        failure.Error =
            each == id
                ? MakeDbError(p->IsConnect ? "Login timeout expired" : "Query timeout expired",
                              "HYT00")
                : MakeDbError("The connection was closed after a time-out", "08S01");
        Complete(*p, std::move(failure));
        if (!*alive) {
            return;
        }
    }
}
