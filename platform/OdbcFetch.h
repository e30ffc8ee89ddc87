// Reads one result set of a statement into a recordset. Private to the platform layer.
#pragma once

#include "OdbcWorker.h"

#ifdef _WIN32
// The ODBC headers there rely on the Windows types.
#include <windows.h>
#endif
#include <sql.h>

// Reads the rest of the current result set into result.Recordset. False with the error in
// result when the driver fails (a server that stops in the middle of the rows, a time-out).
bool FetchResultSet(SQLHSTMT stmt, SQLSMALLINT columnCount, TWorkerResult& result);
