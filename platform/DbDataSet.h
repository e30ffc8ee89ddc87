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
    // The text of a text column without a copy (empty for NULL and for integer columns); valid
    // while the data set keeps its recordset.
    std::string_view AsStringView() const;

private:
    friend class TDbDataSet;
    TDbField(const TDbRecordset* records, std::size_t row, std::size_t col)
        : Records(records), Row(row), Col(col) {}
    TDbValue::Kind Type() const;
    const TDbRecordset* Records; // null past the end of the data: reads as NULL
    std::size_t Row;
    std::size_t Col;
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
