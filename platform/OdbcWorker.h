// The worker behind one TDbConnection: it owns the ODBC connection handle and makes every
// blocking call, one job at a time in the order submitted, on the threads of the ODBC pool
// (OdbcPool.h), and posts each result to the GUI thread. Private to the platform layer.
#pragma once

#include "DbRecordset.h"
#include "DbTypes.h"
#include "TlsSettings.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class QObject;
class TResultQueue;

struct TWorkerJob {
    enum Kind : std::uint8_t { Connect, Execute };
    Kind Type = Execute;
    std::uint64_t Id = 0;
    std::string Text;          // ODBC connection string, or the statement
    std::uint32_t Timeout = 0; // login or query time-out, seconds (0: none)
    bool NoRecords = false;
    // Connects only.
    std::string Host;       // the server's address, to say why it cannot be reached
    std::uint16_t Port = 0; // 0: found through the instance name
    // Connects only: what the string asks of encryption, for a look at the server's.
    TEncryptionRequest Encryption;
    // Connects only: when not empty, SQLConnect with this data source and these credentials
    // instead of SQLDriverConnect with Text.
    std::string DataSource;
    std::string UserId;
    std::string Password;
};

struct TWorkerResult {
    std::uint64_t Id = 0;
    bool Ok = false;
    TDbError Error;                 // when not Ok
    std::vector<TDbError> Messages; // informational messages, in order
    TDbRecordsetPtr Recordset;      // executes: none with NoRecords
    int RecordsAffected = -1;
    std::string EncryptionState; // connects: what the connection got ("Encrypted (TLSv1.2), ...")
};

class TOdbcWorker : public std::enable_shared_from_this<TOdbcWorker> {
public:
    using TDeliver = std::function<void(TWorkerResult&&)>;

    // Results are posted to receiver's thread (which is the calling thread) and handed to
    // deliver there, unless receiver is gone by then.
    static std::shared_ptr<TOdbcWorker> Start(QObject* receiver, TDeliver deliver);
    ~TOdbcWorker();
    TOdbcWorker(const TOdbcWorker&) = delete;
    TOdbcWorker& operator=(const TOdbcWorker&) = delete;

    void Submit(TWorkerJob job);
    // Forgets the jobs not yet started.
    void DropQueued();
    // Posts nothing more; lets what runs finish (bounded by its time-out), then closes the
    // connection on its own.
    //
    // Nothing here calls SQLCancel from another thread: the FreeTDS driver races with its own
    // worker when it does (corrupted diagnostics, a double free at disconnect, a failed
    // assertion while a query is being sent), so an abandoned statement runs out in its
    // worker instead, where the query time-out cancels it safely.
    void Abandon();

private:
    TOdbcWorker() = default;
    void ScheduleTurn();
    void RunTurn();
    TWorkerResult DoConnect(const TWorkerJob& job);
    TWorkerResult DoExecute(const TWorkerJob& job);
    void Disconnect();
    void Post(TWorkerResult result);

    std::mutex Mutex;
    std::deque<TWorkerJob> Queue;
    bool Stopping = false;
    bool Scheduled = false;          // a turn is queued in the pool or running; guarded by Mutex
    QObject* Receiver = nullptr;     // guarded by Mutex; null once abandoned
    TResultQueue* Results = nullptr; // of the receiver's thread
    TDeliver Deliver;
    // Touched only by the turn that runs (one at a time), or by the destructor.
    void* Dbc = nullptr; // SQLHDBC
    bool DbcConnected = false;
};
