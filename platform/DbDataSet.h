// A cursor over a recordset: the monitor's ProcessesAD and the temporary data sets of the
// synchronous statements.
#pragma once

#include "DbRecordset.h"

#include <cstdint>
#include <string>

class TDbDataSet;

// One column of the current row. A NULL reads as 0 or as empty text; an integer wider than
// 32 bits keeps its low 32 bits; text that is not a number throws EDbError from AsInteger.
class TDbField {
public:
    std::int32_t AsInteger() const;
    std::string AsString() const;
    bool IsNull() const;

private:
    friend class TDbDataSet;
    TDbField(const TDbValue* value, const std::string* columnName)
        : Value(value), ColumnName(columnName) {}
    const TDbValue* Value;         // null past the end of the data: reads as NULL
    const std::string* ColumnName; // lives as long as the recordset
};

class TDbDataSet {
public:
    // Closes the data set, then opens it on the recordset; none leaves it closed; a recordset
    // that is not open throws EDbError (and leaves the data set closed).
    void SetRecordset(TDbRecordsetPtr recordset);
    TDbRecordsetPtr Recordset() const { return Records; }

    bool Active() const { return Records != nullptr; }
    void SetActive(bool active); // true needs a recordset already given; false closes
    void Close() { SetActive(false); }

    void First();
    void Next();
    bool Eof() const;
    int RecordCount() const;
    int FieldCount() const;
    // A 0-based column of the current row; throws EDbError when the data set is closed or the
    // column does not exist.
    TDbField Fields(int index) const;

private:
    TDbRecordsetPtr Records;
    std::size_t Row = 0;
};
