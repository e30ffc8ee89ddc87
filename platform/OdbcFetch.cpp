#include "OdbcFetch.h"

#include "OdbcDiagnostics.h"
#include "Utf16Text.h"

#include <algorithm>
#ifdef _WIN32
// The ODBC headers there rely on the Windows types.
#include <windows.h>
#endif
#include <sqlext.h>
#include <string>
#include <vector>

namespace {

struct TColumnInfo {
    TDbColumn Column;
    SQLULEN Size = 0;  // characters, as the driver describes the column
    bool Wide = false; // nchar or nvarchar: fetched as UTF-16 and converted here
};

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

// No statement of ours has a result set anywhere near this long (SQL Server has at most 32,767
// sessions); a server that sends more is refused rather than read into memory.
constexpr std::size_t MaxRows = 100000;
// A text cell read row by row (a column without a size, or a long one) is kept up to this
// many bytes: a deadlock report (nvarchar(max)) of a big parallel query runs to megabytes,
// and the report's reader takes up to 16 MB.
constexpr std::size_t MaxCellBytes = 16 * 1024 * 1024;

bool TooManyRows(const TDbRecordset& records, TWorkerResult& result) {
    if (records.RowCount() < MaxRows) {
        return false;
    }
    result.Ok = false;
    result.Error = MakeDbError("The server sent more than 100,000 rows in one result set; "
                               "the answer was dropped",
                               "HY000");
    return true;
}

// Text columns up to this many characters are fetched in blocks of rows; a longer one (or one
// without a size, such as nvarchar(max)) makes the whole result set go row by row.
constexpr SQLULEN BlockTextLimit = 8000;
// Bytes of buffer for one block of rows; a block holds at least one row and at most 1024.
constexpr std::size_t BlockBytes = 1 << 20;
// The first block is small: most snapshots have a few dozen rows, and a buffer for a
// thousand would be allocated and cleared on every refresh for nothing. Each full block
// makes the next one larger.
constexpr std::size_t FirstBlockRows = 64;

// Bound buffers, kept by each pool thread from one result set to the next.
struct TBlockBuffers {
    std::vector<char> Data;
    std::vector<SQLLEN> Indicators;
    std::vector<SQLUSMALLINT> Status;
    std::string Text; // one converted cell
};
thread_local TBlockBuffers Buffers;

bool Describe(SQLHSTMT stmt, SQLSMALLINT columnCount, std::vector<TColumnInfo>& columns,
              TWorkerResult& result) {
    columns.resize(static_cast<std::size_t>(columnCount));
    for (SQLSMALLINT c = 1; c <= columnCount; ++c) {
        SQLSMALLINT nameLength = 0;
        SQLSMALLINT dataType = 0;
        SQLULEN size = 0;
        SQLSMALLINT digits = 0;
        SQLSMALLINT nullable = 0;
#ifdef _WIN32
        // Wide: narrow names come in the ANSI code page there.
        SQLWCHAR name[256] = {};
        const SQLRETURN rc =
            SQLDescribeColW(stmt, static_cast<SQLUSMALLINT>(c), name, std::size(name), &nameLength,
                            &dataType, &size, &digits, &nullable);
#else
        SQLCHAR name[256] = {};
        const SQLRETURN rc = SQLDescribeCol(stmt, static_cast<SQLUSMALLINT>(c), name, sizeof(name),
                                            &nameLength, &dataType, &size, &digits, &nullable);
#endif
        if (!SQL_SUCCEEDED(rc)) {
            TakeDiagnostics(SQL_HANDLE_STMT, stmt, true, result, "Cannot describe a column");
            return false;
        }
        TColumnInfo& info = columns[static_cast<std::size_t>(c - 1)];
#ifdef _WIN32
        info.Column.Name.clear();
        std::size_t units = 0;
        while (units < std::size(name) && name[units] != 0) {
            ++units;
        }
        AppendUtf8(info.Column.Name, reinterpret_cast<const char16_t*>(name), units);
#else
        info.Column.Name = reinterpret_cast<const char*>(name);
#endif
        info.Column.IsInteger = IsIntegerType(dataType);
        info.Size = size;
        info.Wide = dataType == SQL_WCHAR || dataType == SQL_WVARCHAR;
    }
    return true;
}

// Row by row with SQLGetData: any column size.
bool FetchRows(SQLHSTMT stmt, const std::vector<TColumnInfo>& columns, TDbRecordset& records,
               TWorkerResult& result) {
    std::string text;
    char buffer[4096];
    for (;;) {
        SQLRETURN rc = SQLFetch(stmt);
        if (rc == SQL_NO_DATA) {
            TakeDiagnostics(SQL_HANDLE_STMT, stmt, false, result, ""); // messages after the rows
            return true;
        }
        if (!SQL_SUCCEEDED(rc)) {
            TakeDiagnostics(SQL_HANDLE_STMT, stmt, true, result, "Cannot fetch a row");
            return false;
        }
        if (rc == SQL_SUCCESS_WITH_INFO) {
            TakeDiagnostics(SQL_HANDLE_STMT, stmt, false, result, "");
        }
        if (TooManyRows(records, result)) {
            return false;
        }
        for (std::size_t c = 0; c < columns.size(); ++c) {
            SQLLEN indicator = 0;
            bool null = true;
            const auto column = static_cast<SQLUSMALLINT>(c + 1);
            if (columns[c].Column.IsInteger) {
                SQLBIGINT number = 0;
                rc = SQLGetData(stmt, column, SQL_C_SBIGINT, &number, 0, &indicator);
                if (!SQL_SUCCEEDED(rc)) {
                    TakeDiagnostics(SQL_HANDLE_STMT, stmt, true, result, "Cannot read a column");
                    return false;
                }
                if (indicator != SQL_NULL_DATA) {
                    records.AddInt(number);
                } else {
                    records.AddNull();
                }
            } else {
                text.clear();
                for (;;) {
                    rc = SQLGetData(stmt, column, SQL_C_CHAR, buffer, sizeof(buffer), &indicator);
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
                    null = false;
                    const bool truncated = indicator == SQL_NO_TOTAL ||
                                           indicator >= static_cast<SQLLEN>(sizeof(buffer));
                    text.append(buffer, truncated ? sizeof(buffer) - 1
                                                  : static_cast<std::size_t>(indicator));
                    if (!truncated) {
                        break;
                    }
                    if (text.size() >= MaxCellBytes) {
                        // The rest is left to the driver; the cut goes before a character
                        // that might be incomplete.
                        std::size_t end = MaxCellBytes;
                        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
                            --end;
                        }
                        text.resize(end);
                        break;
                    }
                }
                if (null) {
                    records.AddNull();
                } else {
                    records.AddText(text);
                }
            }
        }
    }
}

// A block of rows per SQLFetch into column-wise bound buffers: far fewer calls through the
// driver manager than one SQLGetData per cell. nchar and nvarchar columns come as UTF-16 and
// are converted here: the driver's own conversion (iconv, character by character) cost more
// than the rest of the fetch, most of it on the blanks that pad nchar columns.
bool FetchBlocks(SQLHSTMT stmt, const std::vector<TColumnInfo>& columns, TDbRecordset& records,
                 TWorkerResult& result) {
    std::vector<std::size_t> width(columns.size()); // bytes per row and column
    std::size_t rowBytes = 0;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const TColumnInfo& info = columns[c];
        // UTF-8 takes at most 4 bytes for each character the driver counts.
        width[c] = info.Column.IsInteger ? sizeof(SQLBIGINT)
                   : info.Wide           ? (info.Size + 1) * sizeof(SQLWCHAR)
                                         : info.Size * 4 + 1;
        width[c] = (width[c] + 7) / 8 * 8; // keeps every column's cells aligned
        rowBytes += width[c] + sizeof(SQLLEN);
    }
    const std::size_t mostRows =
        std::max<std::size_t>(1, std::min<std::size_t>(1024, BlockBytes / rowBytes));
    TBlockBuffers& buffers = Buffers;
    std::vector<std::size_t> offset(columns.size());
    SQLULEN fetched = 0;
    std::size_t rows = 0;
    // Buffers for this many rows, bound; false with the error in result.
    auto bind = [&](std::size_t count) {
        rows = count;
        std::size_t at = 0;
        for (std::size_t c = 0; c < columns.size(); ++c) {
            offset[c] = at;
            at += width[c] * rows;
        }
        if (buffers.Data.size() < at) {
            buffers.Data.resize(at);
        }
        if (buffers.Indicators.size() < columns.size() * rows) {
            buffers.Indicators.resize(columns.size() * rows);
        }
        if (buffers.Status.size() < rows) {
            buffers.Status.resize(rows);
        }
        SQLSetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(rows), 0);
        SQLSetStmtAttr(stmt, SQL_ATTR_ROW_STATUS_PTR, buffers.Status.data(), 0);
        for (std::size_t c = 0; c < columns.size(); ++c) {
            const SQLSMALLINT type = columns[c].Column.IsInteger ? SQL_C_SBIGINT
                                     : columns[c].Wide           ? SQL_C_WCHAR
                                                                 : SQL_C_CHAR;
            if (!SQL_SUCCEEDED(SQLBindCol(
                    stmt, static_cast<SQLUSMALLINT>(c + 1), type, buffers.Data.data() + offset[c],
                    static_cast<SQLLEN>(width[c]), buffers.Indicators.data() + c * rows))) {
                TakeDiagnostics(SQL_HANDLE_STMT, stmt, true, result, "Cannot bind a column");
                return false;
            }
        }
        return true;
    };
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_BIND_BY_COLUMN),
                   0);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
    bool ok = bind(std::min(FirstBlockRows, mostRows));
    while (ok) {
        const SQLRETURN rc = SQLFetch(stmt);
        if (rc == SQL_NO_DATA) {
            TakeDiagnostics(SQL_HANDLE_STMT, stmt, false, result, "");
            break;
        }
        if (!SQL_SUCCEEDED(rc)) {
            TakeDiagnostics(SQL_HANDLE_STMT, stmt, true, result, "Cannot fetch a row");
            ok = false;
            break;
        }
        if (rc == SQL_SUCCESS_WITH_INFO) {
            TakeDiagnostics(SQL_HANDLE_STMT, stmt, false, result, "");
        }
        for (SQLULEN r = 0; r < fetched && ok; ++r) {
            if (buffers.Status[r] == SQL_ROW_ERROR || buffers.Status[r] == SQL_ROW_NOROW) {
                continue;
            }
            if (TooManyRows(records, result)) {
                ok = false;
                break;
            }
            for (std::size_t c = 0; c < columns.size(); ++c) {
                const SQLLEN indicator = buffers.Indicators[c * rows + r];
                const char* data = buffers.Data.data() + offset[c] + r * width[c];
                if (indicator == SQL_NULL_DATA) {
                    records.AddNull();
                    continue;
                }
                if (columns[c].Column.IsInteger) {
                    records.AddInt(*reinterpret_cast<const SQLBIGINT*>(data));
                    continue;
                }
                const std::size_t room = width[c] - (columns[c].Wide ? sizeof(SQLWCHAR) : 1);
                std::size_t length = indicator < 0 || static_cast<std::size_t>(indicator) > room
                                         ? room
                                         : static_cast<std::size_t>(indicator);
                if (columns[c].Wide) {
                    buffers.Text.clear();
                    AppendUtf8(buffers.Text, reinterpret_cast<const char16_t*>(data),
                               length / sizeof(SQLWCHAR));
                    records.AddText(buffers.Text);
                } else {
                    records.AddText(std::string_view(data, length));
                }
            }
        }
        if (ok && fetched == rows && rows < mostRows) {
            ok = bind(std::min(mostRows, rows * 8));
        }
    }
    // The buffers outlive this call, but the statement must not point at them any more.
    SQLFreeStmt(stmt, SQL_UNBIND);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
    return ok;
}

} // namespace

bool FetchResultSet(SQLHSTMT stmt, SQLSMALLINT columnCount, TWorkerResult& result) {
    std::vector<TColumnInfo> columns;
    if (!Describe(stmt, columnCount, columns, result)) {
        return false;
    }
    bool blocks = true;
    for (const TColumnInfo& info : columns) {
        if (!info.Column.IsInteger && (info.Size == 0 || info.Size > BlockTextLimit)) {
            blocks = false;
        }
    }
    std::vector<TDbColumn> described;
    described.reserve(columns.size());
    for (const TColumnInfo& info : columns) {
        described.push_back(info.Column);
    }
    auto records = std::make_shared<TDbRecordset>(std::move(described));
    const bool ok = blocks ? FetchBlocks(stmt, columns, *records, result)
                           : FetchRows(stmt, columns, *records, result);
    if (!ok) {
        return false;
    }
    result.Recordset = std::move(records);
    return true;
}
