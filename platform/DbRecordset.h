// A result set fetched completely by the connection's worker thread and then handed to the
// GUI thread: after construction it is read-only, so no locking is needed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct TDbValue {
    enum Kind : std::uint8_t { Null, Int, Text };
    Kind Type = Null;
    std::int64_t IntValue = 0; // Int
    std::string TextValue;     // Text (UTF-8)
};

struct TDbColumn {
    std::string Name;
    bool IsInteger = false; // fetched as a 64-bit integer; everything else as text
};

class TDbRecordset {
public:
    TDbRecordset() = default; // a closed recordset (a statement that returned no result set)
    TDbRecordset(std::vector<TDbColumn> columns, std::vector<TDbValue> cells);

    // Open: the statement returned a result set (possibly without rows).
    bool IsOpen() const { return Open; }
    std::size_t ColumnCount() const { return Columns.size(); }
    std::size_t RowCount() const { return Columns.empty() ? 0 : Cells.size() / Columns.size(); }
    const TDbColumn& Column(std::size_t col) const { return Columns.at(col); }
    // Row-major cell access; the caller keeps row < RowCount() and col < ColumnCount().
    const TDbValue& Cell(std::size_t row, std::size_t col) const {
        return Cells[row * Columns.size() + col];
    }

private:
    bool Open = false;
    std::vector<TDbColumn> Columns;
    std::vector<TDbValue> Cells;
};

using TDbRecordsetPtr = std::shared_ptr<const TDbRecordset>;
