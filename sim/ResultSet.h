// A result set as the server sends it: COLMETADATA, then one ROW per row.
#pragma once

#include "TokenWriter.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tdssim {

// NVarCharMax is nvarchar(max), its values sent as PLP (partially length-prefixed) chunks.
// Decimal is decimal(19,0), the form bigint takes towards a TDS 7.0 client (wireColumn).
enum class ColumnType {
    TinyInt,
    SmallInt,
    Int,
    BigInt,
    Bit,
    DateTime,
    Binary,
    NVarChar,
    NChar,
    NVarCharMax,
    Decimal
};

// A column that cannot be NULL goes out with the fixed-length type (INT2, INT4, BIT,
// DATETIME, ...) and without the nullable flag, as the real server sends what its catalog
// declares NOT NULL; a nullable one with the N type (INTN, BITN, DATETIMN).
struct Column {
    std::string name;
    ColumnType type = ColumnType::Int;
    std::uint16_t chars = 0; // declared length of NVarChar/NChar (characters) or Binary (bytes)
    bool nullable = true;
};

struct Null {
    bool operator==(const Null&) const = default;
};
// DateTime values are text "yyyy-mm-dd hh:mi:ss.mmm"; Binary values are bytes, padded with
// zeros to the column's length.
using Value = std::variant<Null, std::int64_t, std::string>;

// The column as this client's TDS version carries it: bigint reaches a TDS 7.0 client as
// decimal(19,0), as SQL Server 2000 sends it (INT8 came with 7.1); (max) types came with 7.2,
// so an older client gets nvarchar(4000) instead.
Column wireColumn(const TokenWriter& tw, Column column);

void writeColumnMetadata(TokenWriter& tw, const std::vector<Column>& columns);

// Column values of one ROW written straight into the reply, for result sets too big to
// go through Value (the process query of a large server); columns as wireColumn gives them.
void writeRowStart(std::string& out);
void writeIntValue(std::string& out, const Column& column, std::int64_t value);
void writeTextValue(std::string& out, const Column& column, std::string_view text);
void writeNullValue(std::string& out, const Column& column);
// One ROW token. NChar values are padded with blanks to their declared length and
// character values longer than the column are cut, as the real server does.
void writeRow(TokenWriter& tw, const std::vector<Column>& columns, const std::vector<Value>& row);

} // namespace tdssim
