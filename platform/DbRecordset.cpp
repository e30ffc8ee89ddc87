#include "DbRecordset.h"

TDbRecordset::TDbRecordset(std::vector<TDbColumn> columns)
    : Open(true), Columns(std::move(columns)) {}

TDbRecordset::TDbRecordset(std::vector<TDbColumn> columns, const std::vector<TDbValue>& cells)
    : TDbRecordset(std::move(columns)) {
    for (const TDbValue& v : cells) {
        switch (v.Type) {
        case TDbValue::Null:
            AddNull();
            break;
        case TDbValue::Int:
            AddInt(v.IntValue);
            break;
        case TDbValue::Text:
            AddText(v.TextValue);
            break;
        }
    }
}

void TDbRecordset::AddText(std::string_view text) {
    Cells.push_back({static_cast<std::int64_t>(TextBuffer.size()),
                     static_cast<std::uint32_t>(text.size()), TDbValue::Text});
    TextBuffer.append(text);
}

std::string_view TDbRecordset::Text(std::size_t row, std::size_t col) const {
    const TCell& cell = Cell(row, col);
    if (cell.Type != TDbValue::Text) {
        return {};
    }
    return std::string_view(TextBuffer).substr(static_cast<std::size_t>(cell.Value), cell.Length);
}
