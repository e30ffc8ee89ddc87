// Diagnostic records of ODBC handles as the connection's error objects. Private to the
// platform layer.
#pragma once

#include "OdbcWorker.h"

#ifdef _WIN32
// The ODBC headers there rely on the Windows types.
#include <windows.h>
#endif
#include <sql.h>

// Splits the records of the last call on a handle into informational messages (appended to
// result.Messages) and, when the call failed, the error to report (result.Error, and Ok set
// false): the first record that is not a warning, or fallback when there is none.
void TakeDiagnostics(SQLSMALLINT type, SQLHANDLE handle, bool failed, TWorkerResult& result,
                     const char* fallback);
