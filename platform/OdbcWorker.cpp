#include "OdbcWorker.h"

#include "OdbcDiagnostics.h"
#include "OdbcFetch.h"
#include "OdbcLostConnection.h"
#include "OdbcPool.h"
#include "ResultQueue.h"
#include "TdsTlsProbe.h"

#include <QMetaObject>
#include <QObject>
#include <QString>
#include <algorithm>
#ifdef _WIN32
// The ODBC headers there rely on the Windows types.
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

namespace {

// One ODBC environment for the process; the driver manager keeps per-connection state apart.
SQLHENV Environment() {
    static SQLHENV env = [] {
        SQLHENV e = SQL_NULL_HENV;
        if (SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &e))) {
            SQLSetEnvAttr(e, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        }
        return e;
    }();
    return env;
}

// FreeTDS's words when no server answered at the address (20009) or the name was not found
// (20013).
bool IsUnreachable(const TDbError& error) {
    return error.NativeError == 20009 || error.NativeError == 20013 ||
           error.Description.find("unavailable or does not exist") != std::string::npos;
}

bool ConnectionDead(SQLHDBC dbc) {
    SQLUINTEGER dead = SQL_CD_FALSE;
    return SQL_SUCCEEDED(SQLGetConnectAttr(dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
           dead == SQL_CD_TRUE;
}

std::vector<SQLWCHAR> Utf16(const std::string& utf8) {
    const std::u16string wide = QString::fromStdString(utf8).toStdU16String();
    std::vector<SQLWCHAR> text(wide.begin(), wide.end());
    text.push_back(0);
    return text;
}

} // namespace

std::shared_ptr<TOdbcWorker> TOdbcWorker::Start(QObject* receiver, TDeliver deliver) {
    std::shared_ptr<TOdbcWorker> worker(new TOdbcWorker());
    worker->Receiver = receiver;
    worker->Results = &TResultQueue::OfThisThread();
    worker->Deliver = std::move(deliver);
    return worker;
}

TOdbcWorker::~TOdbcWorker() {
    // The last reference goes with the last turn (or with the connection when none ran).
    Disconnect();
}

// Under Mutex.
void TOdbcWorker::ScheduleTurn() {
    Scheduled = true;
    TOdbcPool::Instance().Schedule([self = shared_from_this()] { self->RunTurn(); });
}

void TOdbcWorker::Submit(TWorkerJob job) {
    std::lock_guard<std::mutex> lock(Mutex);
    if (Stopping) {
        return;
    }
    Queue.push_back(std::move(job));
    if (!Scheduled) {
        ScheduleTurn();
    }
}

void TOdbcWorker::DropQueued() {
    std::lock_guard<std::mutex> lock(Mutex);
    Queue.clear();
}

void TOdbcWorker::Abandon() {
    std::lock_guard<std::mutex> lock(Mutex);
    Receiver = nullptr;
    Stopping = true;
    Queue.clear();
    // The connection is closed by a turn, never on the caller's (GUI) thread: a turn that runs
    // closes it when its call returns.
    if (!Scheduled) {
        ScheduleTurn();
    }
}

// One job per turn; a connection with more work queues a new turn behind the other
// connections' work, so none waits for another's whole queue.
void TOdbcWorker::RunTurn() {
    TWorkerJob job;
    bool stopping = false;
    {
        std::lock_guard<std::mutex> lock(Mutex);
        stopping = Stopping;
        if (!stopping && Queue.empty()) {
            Scheduled = false;
            return;
        }
        if (!stopping) {
            job = std::move(Queue.front());
            Queue.pop_front();
        }
    }
    if (stopping) {
        // Scheduled stays set: no turn runs after this one closes the connection.
        Disconnect();
        return;
    }
    TWorkerResult result = job.Type == TWorkerJob::Connect ? DoConnect(job) : DoExecute(job);
    result.Id = job.Id;
    Post(std::move(result));
    std::lock_guard<std::mutex> lock(Mutex);
    if (Stopping || !Queue.empty()) {
        ScheduleTurn(); // a stopping worker's next turn closes the connection
    } else {
        Scheduled = false;
    }
}

void TOdbcWorker::Post(TWorkerResult result) {
    std::lock_guard<std::mutex> lock(Mutex);
    if (Receiver == nullptr) {
        return;
    }
    auto shared = std::make_shared<TWorkerResult>(std::move(result));
    Results->Post(Receiver, [deliver = Deliver, shared] { deliver(std::move(*shared)); });
}

void TOdbcWorker::Disconnect() {
    if (Dbc == nullptr) {
        return;
    }
    if (DbcConnected) {
        SQLDisconnect(static_cast<SQLHDBC>(Dbc));
    }
    SQLFreeHandle(SQL_HANDLE_DBC, static_cast<SQLHDBC>(Dbc));
    Dbc = nullptr;
    DbcConnected = false;
}

namespace {

int ProbeTimeoutMs(const TWorkerJob& job) {
    const std::uint32_t seconds = job.Timeout == 0 ? 3 : std::min<std::uint32_t>(job.Timeout, 3);
    return static_cast<int>(seconds * 1000);
}

// The driver reports a refused certificate or a server without encryption only as "connection
// failed"; a look at the server says which, in words a DBA can act on.
void ExplainEncryption(const TWorkerJob& job, TWorkerResult& result) {
    // The server's own errors (a failed login, ...) need no explaining; FreeTDS numbers its
    // client-side ones from 20000.
    const std::int32_t native = result.Error.NativeError;
    if (job.Port == 0 || !job.Encryption.Demanded() ||
        (native != 0 && (native < 20000 || native > 20999))) {
        return;
    }
    const TTlsProbeResult probe =
        ProbeTdsEncryption(job.Host, job.Port, job.Encryption, ProbeTimeoutMs(job));
    const std::string why = ExplainEncryptionFailure(probe, job.Encryption, job.Host);
    if (!why.empty()) {
        result.Error.Description = why + " [" + result.Error.Description + "]";
    }
}

} // namespace

TWorkerResult TOdbcWorker::DoConnect(const TWorkerJob& job) {
    TWorkerResult result;
    Disconnect();
    SQLHDBC dbc = SQL_NULL_HDBC;
    if (Environment() == SQL_NULL_HENV ||
        !SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, Environment(), &dbc))) {
        result.Error = MakeDbError("Cannot allocate an ODBC connection handle");
        return result;
    }
    if (job.Timeout > 0) {
        SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT,
                          reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(job.Timeout)),
                          0);
    }
    // The wide calls: FreeTDS reads the narrow ones' text as Latin-1 before it knows the
    // client character set, which garbles user names and passwords beyond ASCII.
    SQLRETURN rc = SQL_ERROR;
    if (!job.DataSource.empty()) {
        // The credentials pass as they are: the driver manager hands them on unread.
        std::vector<SQLWCHAR> source = Utf16(job.DataSource);
        std::vector<SQLWCHAR> user = Utf16(job.UserId);
        std::vector<SQLWCHAR> password = Utf16(job.Password);
        rc = SQLConnectW(dbc, source.data(), SQL_NTS, user.data(), SQL_NTS, password.data(),
                         SQL_NTS);
    } else {
        std::vector<SQLWCHAR> text = Utf16(job.Text);
        // The translation refused any NUL, so the whole string reaches the driver.
        rc = SQLDriverConnectW(dbc, nullptr, text.data(), SQL_NTS, nullptr, 0, nullptr,
                               SQL_DRIVER_NOPROMPT);
    }
    result.Ok = SQL_SUCCEEDED(rc);
    TakeDiagnostics(SQL_HANDLE_DBC, dbc, !result.Ok, result, "Cannot connect to the server");
    if (!result.Ok && IsUnreachable(result.Error) && job.Port != 0) {
        ExplainUnreachable(result.Error, job.Host, job.Port, job.Timeout > 0 ? job.Timeout : 5);
    }
    if (!result.Ok) {
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        ExplainEncryption(job, result);
        return result;
    }
    if (job.Port != 0) {
        result.EncryptionState = DescribeEncryptionState(
            ProbeTdsEncryption(job.Host, job.Port, job.Encryption, ProbeTimeoutMs(job)),
            job.Encryption);
    }
    Dbc = dbc;
    DbcConnected = true;
    return result;
}

TWorkerResult TOdbcWorker::DoExecute(const TWorkerJob& job) {
    TWorkerResult result;
    if (Dbc == nullptr) {
        result.Error = MakeDbError("The connection is closed", "08003");
        return result;
    }
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, static_cast<SQLHDBC>(Dbc), &stmt))) {
        TakeDiagnostics(SQL_HANDLE_DBC, static_cast<SQLHDBC>(Dbc), true, result,
                        "Cannot allocate an ODBC statement handle");
        return result;
    }
    if (job.Timeout > 0) {
        SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(job.Timeout)), 0);
    }
#ifdef _WIN32
    // Narrow text would be read in the ANSI code page there.
    std::vector<SQLWCHAR> text = Utf16(job.Text);
    SQLRETURN rc = SQLExecDirectW(stmt, text.data(), SQL_NTS);
#else
    std::vector<SQLCHAR> text(job.Text.begin(), job.Text.end());
    text.push_back(0);
    SQLRETURN rc = SQLExecDirect(stmt, text.data(), SQL_NTS);
#endif
    result.Ok = true;
    while (result.Ok) {
        if (rc == SQL_NO_DATA) {
            TakeDiagnostics(SQL_HANDLE_STMT, stmt, false, result, "");
            break;
        }
        if (!SQL_SUCCEEDED(rc)) {
            TakeDiagnostics(SQL_HANDLE_STMT, stmt, true, result, "The statement failed");
            break;
        }
        if (rc == SQL_SUCCESS_WITH_INFO) {
            TakeDiagnostics(SQL_HANDLE_STMT, stmt, false, result, "");
        }
        SQLSMALLINT columns = 0;
        SQLNumResultCols(stmt, &columns);
        if (columns > 0 && !job.NoRecords && !result.Recordset) {
            if (!FetchResultSet(stmt, columns, result)) {
                break;
            }
        } else if (columns == 0 && result.RecordsAffected < 0) {
            SQLLEN count = -1;
            if (SQL_SUCCEEDED(SQLRowCount(stmt, &count))) {
                result.RecordsAffected = static_cast<int>(count);
            }
        }
        rc = SQLMoreResults(stmt);
    }
    if (!result.Ok && ConnectionDead(static_cast<SQLHDBC>(Dbc))) {
        ExplainLostConnection(result.Error);
    }
    if (result.Ok && !job.NoRecords && !result.Recordset) {
        result.Recordset = std::make_shared<TDbRecordset>(); // no result set: a closed one
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return result;
}
