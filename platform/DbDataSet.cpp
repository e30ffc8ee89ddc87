#include "DbDataSet.h"

#include "DbTypes.h"

#include <charconv>

namespace {

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

} // namespace

TDbValue::Kind TDbField::Type() const {
    return Records == nullptr ? TDbValue::Null : Records->Type(Row, Col);
}

std::int32_t TDbField::AsInteger() const {
    switch (Type()) {
    case TDbValue::Null:
        return 0;
    case TDbValue::Int:
        // Wider integers keep their low 32 bits.
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(Records->Int(Row, Col)));
    case TDbValue::Text:
        break;
    }
    const std::string_view text = Records->Text(Row, Col);
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
        throw EDbError(MakeDbError("'" + std::string(text) +
                                       "' is not a valid integer value for field '" +
                                       Records->Column(Col).Name + "'",
                                   "22018"));
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
}

std::string TDbField::AsString() const {
    switch (Type()) {
    case TDbValue::Null:
        return {};
    case TDbValue::Int:
        return std::to_string(Records->Int(Row, Col));
    case TDbValue::Text:
        break;
    }
    return std::string(Records->Text(Row, Col));
}

std::string_view TDbField::AsStringView() const {
    return Type() == TDbValue::Text ? Records->Text(Row, Col) : std::string_view();
}

bool TDbField::IsNull() const {
    return Type() == TDbValue::Null;
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
    return TDbField(Row < Records->RowCount() ? Records.get() : nullptr, Row,
                    static_cast<std::size_t>(index));
}
