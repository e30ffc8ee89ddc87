// A result set fetched completely by the connection's worker thread and then handed to the
// GUI thread: after it is built it is read-only, so no locking is needed. Cells are kept in
// one array and their text in one buffer, so a large snapshot costs two allocations, not one
// per cell.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// One cell as tests and callers may build it.
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
    // An open recordset without rows; the rows are appended cell by cell, row-major.
    explicit TDbRecordset(std::vector<TDbColumn> columns);
    TDbRecordset(std::vector<TDbColumn> columns, const std::vector<TDbValue>& cells);

    void AddNull() { Cells.push_back({0, 0, TDbValue::Null}); }
    void AddInt(std::int64_t value) { Cells.push_back({value, 0, TDbValue::Int}); }
    void AddText(std::string_view text);

    // Open: the statement returned a result set (possibly without rows).
    bool IsOpen() const { return Open; }
    std::size_t ColumnCount() const { return Columns.size(); }
    std::size_t RowCount() const { return Columns.empty() ? 0 : Cells.size() / Columns.size(); }
    const TDbColumn& Column(std::size_t col) const { return Columns.at(col); }

    // Row-major cell access; the caller keeps row < RowCount() and col < ColumnCount().
    TDbValue::Kind Type(std::size_t row, std::size_t col) const { return Cell(row, col).Type; }
    std::int64_t Int(std::size_t row, std::size_t col) const { return Cell(row, col).Value; }
    // The text of a Text cell (empty for the others); valid as long as the recordset.
    std::string_view Text(std::size_t row, std::size_t col) const;

private:
    struct TCell {
        std::int64_t Value;   // Int: the value; Text: the offset into TextBuffer
        std::uint32_t Length; // Text: bytes
        TDbValue::Kind Type;
    };
    const TCell& Cell(std::size_t row, std::size_t col) const {
        return Cells[row * Columns.size() + col];
    }

    bool Open = false;
    std::vector<TDbColumn> Columns;
    std::vector<TCell> Cells;
    std::string TextBuffer;
};

using TDbRecordsetPtr = std::shared_ptr<const TDbRecordset>;
