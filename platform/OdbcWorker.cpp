#include "OdbcWorker.h"

#include <QMetaObject>
#include <QObject>
#include <sql.h>
#include <sqlext.h>

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

// "[FreeTDS][SQL Server]Login failed ..." -> source "[FreeTDS][SQL Server]" and the server's
// own text, unchanged.
void SplitMessage(const std::string& raw, std::string& source, std::string& text) {
    std::size_t pos = 0;
    while (pos < raw.size() && raw[pos] == '[') {
        const std::size_t close = raw.find(']', pos);
        if (close == std::string::npos) {
            break;
        }
        pos = close + 1;
    }
    source = raw.substr(0, pos);
    text = raw.substr(pos);
}

// Every diagnostic record of a handle, in order.
std::vector<TDbError> Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    std::vector<TDbError> records;
    if (handle == SQL_NULL_HANDLE) {
        return records;
    }
    for (SQLSMALLINT i = 1;; ++i) {
        SQLCHAR state[6] = {};
        SQLINTEGER native = 0;
        std::vector<SQLCHAR> message(1024);
        SQLSMALLINT length = 0;
        SQLRETURN rc = SQLGetDiagRec(type, handle, i, state, &native, message.data(),
                                     static_cast<SQLSMALLINT>(message.size()), &length);
        if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
            message.resize(static_cast<std::size_t>(length) + 1);
            rc = SQLGetDiagRec(type, handle, i, state, &native, message.data(),
                               static_cast<SQLSMALLINT>(message.size()), &length);
        }
        if (!SQL_SUCCEEDED(rc)) {
            break;
        }
        TDbError record;
        const std::string raw(
            reinterpret_cast<const char*>(message.data()),
            std::min<std::size_t>(static_cast<std::size_t>(length), message.size() - 1));
        SplitMessage(raw, record.Source, record.Description);
        record.NativeError = native;
        record.SqlState = reinterpret_cast<const char*>(state);
        records.push_back(std::move(record));
    }
    return records;
}

bool IsWarning(const TDbError& e) {
    return e.SqlState.rfind("01", 0) == 0;
}

// Splits the records of a call into informational messages and, when the call failed, the
// error to report: the first record that is not a warning.
void TakeDiagnostics(SQLSMALLINT type, SQLHANDLE handle, bool failed, TWorkerResult& result,
                     const char* fallback) {
    bool errorTaken = false;
    for (auto& record : Diagnostics(type, handle)) {
        if (failed && !errorTaken && !IsWarning(record)) {
            result.Error = std::move(record);
            errorTaken = true;
        } else if (IsWarning(record) || !failed) {
            result.Messages.push_back(std::move(record));
        }
    }
    if (failed) {
        result.Ok = false;
        if (!errorTaken) {
            result.Error = MakeDbError(fallback);
        }
    }
}

bool IsIntegerType(SQLSMALLINT type) {
    switch (type) {
    case SQL_BIT:
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
        return true;
    default:
        return false;
    }
}

// Reads the rest of the current result set into a recordset. False with the error in result.
bool FetchAll(SQLHSTMT stmt, SQLSMALLINT columnCount, TWorkerResult& result) {
    std::vector<TDbColumn> columns(static_cast<std::size_t>(columnCount));
    for (SQLSMALLINT c = 1; c <= columnCount; ++c) {
        SQLCHAR name[256] = {};
        SQLSMALLINT nameLength = 0;
        SQLSMALLINT dataType = 0;
        SQLULEN size = 0;
        SQLSMALLINT digits = 0;
        SQLSMALLINT nullable = 0;
        const SQLRETURN rc = SQLDescribeCol(stmt, c, name, sizeof(name), &nameLength, &dataType,
                                            &size, &digits, &nullable);
        if (!SQL_SUCCEEDED(rc)) {
            TakeDiagnostics(SQL_HANDLE_STMT, stmt, true, result, "Cannot describe a column");
            return false;
        }
        auto& column = columns[static_cast<std::size_t>(c - 1)];
        column.Name = reinterpret_cast<const char*>(name);
        column.IsInteger = IsIntegerType(dataType);
    }

    std::vector<TDbValue> cells;
    char buffer[2048];
    for (;;) {
        SQLRETURN rc = SQLFetch(stmt);
        if (rc == SQL_NO_DATA) {
            TakeDiagnostics(SQL_HANDLE_STMT, stmt, false, result, ""); // messages after the rows
            break;
        }
        if (!SQL_SUCCEEDED(rc)) {
            TakeDiagnostics(SQL_HANDLE_STMT, stmt, true, result, "Cannot fetch a row");
            return false;
        }
        if (rc == SQL_SUCCESS_WITH_INFO) {
            TakeDiagnostics(SQL_HANDLE_STMT, stmt, false, result, "");
        }
        for (SQLSMALLINT c = 1; c <= columnCount; ++c) {
            TDbValue value;
            SQLLEN indicator = 0;
            if (columns[static_cast<std::size_t>(c - 1)].IsInteger) {
                SQLBIGINT number = 0;
                rc = SQLGetData(stmt, static_cast<SQLUSMALLINT>(c), SQL_C_SBIGINT, &number, 0,
                                &indicator);
                if (!SQL_SUCCEEDED(rc)) {
                    TakeDiagnostics(SQL_HANDLE_STMT, stmt, true, result, "Cannot read a column");
                    return false;
                }
                if (indicator != SQL_NULL_DATA) {
                    value.Type = TDbValue::Int;
                    value.IntValue = number;
                }
            } else {
                for (;;) {
                    rc = SQLGetData(stmt, static_cast<SQLUSMALLINT>(c), SQL_C_CHAR, buffer,
                                    sizeof(buffer), &indicator);
                    if (rc == SQL_NO_DATA) {
                        break;
                    }
                    if (!SQL_SUCCEEDED(rc)) {
                        TakeDiagnostics(SQL_HANDLE_STMT, stmt, true, result,
                                        "Cannot read a column");
                        return false;
                    }
                    if (indicator == SQL_NULL_DATA) {
                        break;
                    }
                    value.Type = TDbValue::Text;
                    const bool truncated = indicator == SQL_NO_TOTAL ||
                                           indicator >= static_cast<SQLLEN>(sizeof(buffer));
                    value.TextValue.append(buffer, truncated ? sizeof(buffer) - 1
                                                             : static_cast<std::size_t>(indicator));
                    if (!truncated) {
                        break;
                    }
                }
            }
            cells.push_back(std::move(value));
        }
    }
    result.Recordset = std::make_shared<TDbRecordset>(std::move(columns), std::move(cells));
    return true;
}

} // namespace

std::shared_ptr<TOdbcWorker> TOdbcWorker::Start(QObject* receiver, TDeliver deliver) {
    std::shared_ptr<TOdbcWorker> worker(new TOdbcWorker());
    worker->Receiver = receiver;
    worker->Deliver = std::move(deliver);
    worker->Thread = std::thread([self = worker] { self->Run(); });
    return worker;
}

TOdbcWorker::~TOdbcWorker() {
    if (Thread.joinable()) {
        if (Thread.get_id() == std::this_thread::get_id()) {
            Thread.detach();
        } else {
            Thread.join();
        }
    }
}

void TOdbcWorker::Submit(TWorkerJob job) {
    {
        std::lock_guard<std::mutex> lock(Mutex);
        Queue.push_back(std::move(job));
    }
    Wake.notify_one();
}

void TOdbcWorker::CancelRunning() {
    std::lock_guard<std::mutex> lock(Mutex);
    if (RunningStmt != nullptr) {
        SQLCancel(static_cast<SQLHSTMT>(RunningStmt));
    }
}

void TOdbcWorker::DropQueued() {
    std::lock_guard<std::mutex> lock(Mutex);
    Queue.clear();
}

void TOdbcWorker::Abandon() {
    {
        std::lock_guard<std::mutex> lock(Mutex);
        Receiver = nullptr;
        Stopping = true;
        Queue.clear();
        if (RunningStmt != nullptr) {
            SQLCancel(static_cast<SQLHSTMT>(RunningStmt));
        }
    }
    Wake.notify_all();
    if (Thread.joinable()) {
        Thread.detach();
    }
}

void TOdbcWorker::Run() {
    for (;;) {
        TWorkerJob job;
        {
            std::unique_lock<std::mutex> lock(Mutex);
            Wake.wait(lock, [this] { return Stopping || !Queue.empty(); });
            if (Stopping) {
                break;
            }
            job = std::move(Queue.front());
            Queue.pop_front();
        }
        TWorkerResult result = job.Type == TWorkerJob::Connect ? DoConnect(job) : DoExecute(job);
        result.Id = job.Id;
        Post(std::move(result));
    }
    Disconnect();
}

void TOdbcWorker::Post(TWorkerResult result) {
    std::lock_guard<std::mutex> lock(Mutex);
    if (Receiver == nullptr) {
        return;
    }
    auto shared = std::make_shared<TWorkerResult>(std::move(result));
    QMetaObject::invokeMethod(
        Receiver, [deliver = Deliver, shared] { deliver(std::move(*shared)); },
        Qt::QueuedConnection);
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
    std::vector<SQLCHAR> text(job.Text.begin(), job.Text.end());
    text.push_back(0);
    const SQLRETURN rc = SQLDriverConnect(dbc, nullptr, text.data(), SQL_NTS, nullptr, 0, nullptr,
                                          SQL_DRIVER_NOPROMPT);
    result.Ok = SQL_SUCCEEDED(rc);
    TakeDiagnostics(SQL_HANDLE_DBC, dbc, !result.Ok, result, "Cannot connect to the server");
    if (!result.Ok) {
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        return result;
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
    {
        std::lock_guard<std::mutex> lock(Mutex);
        RunningStmt = stmt;
    }
    if (job.Timeout > 0) {
        SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(job.Timeout)), 0);
    }
    std::vector<SQLCHAR> text(job.Text.begin(), job.Text.end());
    text.push_back(0);
    SQLRETURN rc = SQLExecDirect(stmt, text.data(), SQL_NTS);
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
            if (!FetchAll(stmt, columns, result)) {
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
    if (result.Ok && !job.NoRecords && !result.Recordset) {
        result.Recordset = std::make_shared<TDbRecordset>(); // no result set: a closed one
    }
    {
        std::lock_guard<std::mutex> lock(Mutex);
        RunningStmt = nullptr;
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return result;
}
