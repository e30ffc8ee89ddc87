#include "OdbcFetch.h"

#include "OdbcDiagnostics.h"

#include <sqlext.h>
#include <vector>

namespace {

struct TColumnInfo {
    TDbColumn Column;
    SQLULEN Size = 0; // characters, as the driver describes the column
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

// Text columns up to this many characters are fetched in blocks of rows; a longer one (or one
// without a size, such as nvarchar(max)) makes the whole result set go row by row.
constexpr SQLULEN BlockTextLimit = 8000;
// Bytes of buffer for one block of rows; a block holds at least one row and at most 1024.
constexpr std::size_t BlockBytes = 1 << 20;

bool Describe(SQLHSTMT stmt, SQLSMALLINT columnCount, std::vector<TColumnInfo>& columns,
              TWorkerResult& result) {
    columns.resize(static_cast<std::size_t>(columnCount));
    for (SQLSMALLINT c = 1; c <= columnCount; ++c) {
        SQLCHAR name[256] = {};
        SQLSMALLINT nameLength = 0;
        SQLSMALLINT dataType = 0;
        SQLULEN size = 0;
        SQLSMALLINT digits = 0;
        SQLSMALLINT nullable = 0;
        if (!SQL_SUCCEEDED(SQLDescribeCol(stmt, static_cast<SQLUSMALLINT>(c), name, sizeof(name),
                                          &nameLength, &dataType, &size, &digits, &nullable))) {
            TakeDiagnostics(SQL_HANDLE_STMT, stmt, true, result, "Cannot describe a column");
            return false;
        }
        TColumnInfo& info = columns[static_cast<std::size_t>(c - 1)];
        info.Column.Name = reinterpret_cast<const char*>(name);
        info.Column.IsInteger = IsIntegerType(dataType);
        info.Size = size;
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
// driver manager than one SQLGetData per cell.
bool FetchBlocks(SQLHSTMT stmt, const std::vector<TColumnInfo>& columns, TDbRecordset& records,
                 TWorkerResult& result) {
    struct TBinding {
        std::size_t Width = 0; // bytes per row
        std::vector<char> Data;
        std::vector<SQLLEN> Indicators;
    };
    std::size_t rowBytes = 0;
    std::vector<TBinding> bindings(columns.size());
    for (std::size_t c = 0; c < columns.size(); ++c) {
        // UTF-8 takes at most 4 bytes for each character the driver counts.
        bindings[c].Width =
            columns[c].Column.IsInteger ? sizeof(SQLBIGINT) : columns[c].Size * 4 + 1;
        rowBytes += bindings[c].Width + sizeof(SQLLEN);
    }
    const std::size_t rows =
        std::max<std::size_t>(1, std::min<std::size_t>(1024, BlockBytes / rowBytes));

    std::vector<SQLUSMALLINT> status(rows);
    SQLULEN fetched = 0;
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_BIND_BY_COLUMN),
                   0);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(rows), 0);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_STATUS_PTR, status.data(), 0);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
    for (std::size_t c = 0; c < columns.size(); ++c) {
        TBinding& b = bindings[c];
        b.Data.resize(b.Width * rows);
        b.Indicators.resize(rows);
        const SQLSMALLINT type = columns[c].Column.IsInteger ? SQL_C_SBIGINT : SQL_C_CHAR;
        if (!SQL_SUCCEEDED(SQLBindCol(stmt, static_cast<SQLUSMALLINT>(c + 1), type, b.Data.data(),
                                      static_cast<SQLLEN>(b.Width), b.Indicators.data()))) {
            TakeDiagnostics(SQL_HANDLE_STMT, stmt, true, result, "Cannot bind a column");
            return false;
        }
    }

    bool ok = true;
    for (;;) {
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
        for (SQLULEN r = 0; r < fetched; ++r) {
            if (status[r] == SQL_ROW_ERROR || status[r] == SQL_ROW_NOROW) {
                continue;
            }
            for (std::size_t c = 0; c < columns.size(); ++c) {
                const TBinding& b = bindings[c];
                const SQLLEN indicator = b.Indicators[r];
                const char* data = b.Data.data() + r * b.Width;
                if (indicator == SQL_NULL_DATA) {
                    records.AddNull();
                } else if (columns[c].Column.IsInteger) {
                    records.AddInt(*reinterpret_cast<const SQLBIGINT*>(data));
                } else {
                    const std::size_t length =
                        indicator < 0 || static_cast<std::size_t>(indicator) >= b.Width
                            ? b.Width - 1
                            : static_cast<std::size_t>(indicator);
                    records.AddText(std::string_view(data, length));
                }
            }
        }
    }
    // The buffers die with this function: the statement must not point at them any more.
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
