#include "DbDataSet.h"

#include "DbTypes.h"

#include <charconv>

namespace {

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

} // namespace

std::int32_t TDbField::AsInteger() const {
    if (Value == nullptr || Value->Type == TDbValue::Null) {
        return 0;
    }
    if (Value->Type == TDbValue::Int) {
        // Wider integers keep their low 32 bits.
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(Value->IntValue));
    }
    const std::string& text = Value->TextValue;
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(text[end - 1])) {
        --end;
    }
    if (begin == end) {
        return 0;
    }
    if (text[begin] == '+') {
        ++begin;
    }
    std::int64_t number = 0;
    auto [ptr, ec] = std::from_chars(text.data() + begin, text.data() + end, number);
    if (ec != std::errc() || ptr != text.data() + end) {
        throw EDbError(MakeDbError("'" + text + "' is not a valid integer value for field '" +
                                       *ColumnName + "'",
                                   "22018"));
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
}

std::string TDbField::AsString() const {
    if (Value == nullptr || Value->Type == TDbValue::Null) {
        return {};
    }
    if (Value->Type == TDbValue::Int) {
        return std::to_string(Value->IntValue);
    }
    return Value->TextValue;
}

bool TDbField::IsNull() const {
    return Value == nullptr || Value->Type == TDbValue::Null;
}

void TDbDataSet::SetRecordset(TDbRecordsetPtr recordset) {
    Close();
    if (!recordset) {
        return;
    }
    if (!recordset->IsOpen()) {
        throw EDbError(MakeDbError("Operation is not allowed when the object is closed"));
    }
    Records = std::move(recordset);
    Row = 0;
}

void TDbDataSet::SetActive(bool active) {
    if (!active) {
        Records.reset();
        Row = 0;
        return;
    }
    if (!Records) {
        throw EDbError(MakeDbError("Missing recordset"));
    }
}

void TDbDataSet::First() {
    Row = 0;
}

void TDbDataSet::Next() {
    if (Records && Row < Records->RowCount()) {
        ++Row;
    }
}

bool TDbDataSet::Eof() const {
    return !Records || Row >= Records->RowCount();
}

int TDbDataSet::RecordCount() const {
    return Records ? static_cast<int>(Records->RowCount()) : 0;
}

int TDbDataSet::FieldCount() const {
    return Records ? static_cast<int>(Records->ColumnCount()) : 0;
}

TDbField TDbDataSet::Fields(int index) const {
    if (!Records) {
        throw EDbError(MakeDbError("Cannot perform this operation on a closed dataset"));
    }
    if (index < 0 || static_cast<std::size_t>(index) >= Records->ColumnCount()) {
        throw EDbError(MakeDbError("List index out of bounds (" + std::to_string(index) + ")"));
    }
    const auto col = static_cast<std::size_t>(index);
    const TDbValue* value = Row < Records->RowCount() ? &Records->Cell(Row, col) : nullptr;
    return TDbField(value, &Records->Column(col).Name);
}
