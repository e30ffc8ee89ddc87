#include "OdbcDiagnostics.h"

#include "Utf16Text.h"

#include <algorithm>
#include <iterator>
#ifdef _WIN32
// The ODBC headers there rely on the Windows types.
#include <windows.h>
#endif
#include <sqlext.h>
#include <vector>

namespace {

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
// One diagnostic record: its state, native error and text (UTF-8). False when there is none.
bool ReadRecord(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT i, std::string& state,
                SQLINTEGER& native, std::string& text) {
#ifdef _WIN32
    // The narrow calls give Windows drivers' text in the ANSI code page; the wide ones give
    // every character.
    SQLWCHAR wideState[6] = {};
    std::vector<SQLWCHAR> message(1024);
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRecW(type, handle, i, wideState, &native, message.data(),
                                  static_cast<SQLSMALLINT>(message.size()), &length);
    if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
        message.resize(static_cast<std::size_t>(length) + 1);
        rc = SQLGetDiagRecW(type, handle, i, wideState, &native, message.data(),
                            static_cast<SQLSMALLINT>(message.size()), &length);
    }
    if (!SQL_SUCCEEDED(rc)) {
        return false;
    }
    AppendUtf8(text, reinterpret_cast<const char16_t*>(message.data()),
               std::min<std::size_t>(static_cast<std::size_t>(length), message.size() - 1));
    for (std::size_t k = 0; k < 5 && wideState[k] != 0; ++k) {
        state += static_cast<char>(wideState[k] < 0x80 ? wideState[k] : '?');
    }
    return true;
#else
    SQLCHAR narrowState[6] = {};
    std::vector<SQLCHAR> message(1024);
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRec(type, handle, i, narrowState, &native, message.data(),
                                 static_cast<SQLSMALLINT>(message.size()), &length);
    if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
        message.resize(static_cast<std::size_t>(length) + 1);
        rc = SQLGetDiagRec(type, handle, i, narrowState, &native, message.data(),
                           static_cast<SQLSMALLINT>(message.size()), &length);
    }
    if (!SQL_SUCCEEDED(rc)) {
        return false;
    }
    text.assign(reinterpret_cast<const char*>(message.data()),
                std::min<std::size_t>(static_cast<std::size_t>(length), message.size() - 1));
    state = reinterpret_cast<const char*>(narrowState);
    return true;
#endif
}

std::vector<TDbError> Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    std::vector<TDbError> records;
    if (handle == SQL_NULL_HANDLE) {
        return records;
    }
    for (SQLSMALLINT i = 1;; ++i) {
        std::string state;
        SQLINTEGER native = 0;
        std::string raw;
        if (!ReadRecord(type, handle, i, state, native, raw)) {
            break;
        }
        TDbError record;
        SplitMessage(raw, record.Source, record.Description);
        record.NativeError = native;
        record.SqlState = state;
        records.push_back(std::move(record));
    }
    return records;
}

// FreeTDS numbers its own client-side messages from 20000.
bool IsDriverMessage(const TDbError& e) {
    return e.NativeError >= 20000 && e.NativeError < 21000;
}

bool IsWarning(const TDbError& e) {
    return e.SqlState.rfind("01", 0) == 0;
}

} // namespace

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
        if (!errorTaken && !result.Messages.empty() && IsDriverMessage(result.Messages.back())) {
            // The driver told why only as a warning ("Unexpected EOF from the server").
            result.Error = result.Messages.back();
            result.Messages.pop_back();
        } else if (!errorTaken) {
            result.Error = MakeDbError(fallback);
        } else if (result.Error.NativeError == 0 && result.Error.SqlState == "08001") {
            // "Unable to connect to data source" says less than the driver's own warning
            // ("Unknown host machine name.").
            for (auto it = result.Messages.rbegin(); it != result.Messages.rend(); ++it) {
                if (IsDriverMessage(*it)) {
                    result.Error.Description = it->Description;
                    result.Error.NativeError = it->NativeError;
                    result.Messages.erase(std::next(it).base());
                    break;
                }
            }
        }
    }
}
