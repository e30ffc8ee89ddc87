#include "DbRecordset.h"

TDbRecordset::TDbRecordset(std::vector<TDbColumn> columns, std::vector<TDbValue> cells)
    : Open(true), Columns(std::move(columns)), Cells(std::move(cells)) {}
