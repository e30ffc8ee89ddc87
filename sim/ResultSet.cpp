#include "ResultSet.h"

#include "Bytes.h"

#include <algorithm>
#include <cstdio>

namespace tdssim {

namespace {

int intWidth(ColumnType t) {
    switch (t) {
    case ColumnType::TinyInt:
    case ColumnType::Bit:
        return 1;
    case ColumnType::SmallInt:
        return 2;
    case ColumnType::Int:
        return 4;
    default:
        return 8;
    }
}

bool isText(ColumnType t) {
    return t == ColumnType::NVarChar || t == ColumnType::NChar || t == ColumnType::NVarCharMax;
}

constexpr std::uint64_t kPlpNull = ~std::uint64_t{0};
constexpr std::size_t kPlpChunk = 8000; // bytes of UCS-2 per chunk

// PLP: the total length in bytes, the value in chunks of a u32 length each, a zero-length
// chunk at the end.
void writePlpText(std::string& out, std::string_view text) {
    std::string ucs2;
    ByteWriter(ucs2).ucs2(text);
    ByteWriter w(out);
    w.u64le(ucs2.size());
    for (std::size_t at = 0; at < ucs2.size(); at += kPlpChunk) {
        const std::size_t n = std::min(kPlpChunk, ucs2.size() - at);
        w.u32le(static_cast<std::uint32_t>(n));
        out.append(ucs2, at, n);
    }
    w.u32le(0);
}

// TYPE_INFO of a number column: the fixed type, or the N type and its width.
void writeNumberType(ByteWriter& w, const Column& c) {
    const int width = intWidth(c.type);
    if (c.type == ColumnType::Bit) {
        w.u8(c.nullable ? 0x68 : 0x32);
    } else if (c.type == ColumnType::DateTime) {
        w.u8(c.nullable ? 0x6F : 0x3D);
    } else if (c.nullable) {
        w.u8(0x26);
    } else {
        w.u8(width == 1 ? 0x30 : width == 2 ? 0x34 : width == 4 ? 0x38 : 0x7F);
        return;
    }
    if (c.nullable) {
        w.u8(static_cast<std::uint8_t>(width));
    }
}

// decimal(19,0): length 9, a sign byte (1 positive), the magnitude in 8 bytes.
void writeDecimal(ByteWriter& w, std::int64_t v) {
    w.u8(9);
    w.u8(v < 0 ? 0 : 1);
    w.u64le(v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v));
}

void writeInt(ByteWriter& w, const Column& c, std::int64_t v) {
    if (c.type == ColumnType::Decimal) {
        writeDecimal(w, v);
        return;
    }
    const int width = intWidth(c.type);
    if (c.nullable) {
        w.u8(static_cast<std::uint8_t>(width));
    }
    auto u = static_cast<std::uint64_t>(c.type == ColumnType::Bit ? (v != 0 ? 1 : 0) : v);
    for (int i = 0; i < width; ++i) {
        w.u8(static_cast<std::uint8_t>(u & 0xFF));
        u >>= 8;
    }
}

// Days from 1970-01-01 of a proleptic Gregorian date.
long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

// DATETIME: days since 1900-01-01, then 1/300 s since midnight. Unreadable text gives 1900-01-01.
void writeDateTime(ByteWriter& w, const Column& c, std::string_view text) {
    int y = 1900;
    unsigned mo = 1, d = 1, h = 0, mi = 0, s = 0, ms = 0;
    std::string t(text.substr(0, 23));
    if (std::sscanf(t.c_str(), "%d-%u-%u %u:%u:%u.%u", &y, &mo, &d, &h, &mi, &s, &ms) < 3 ||
        mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59 || ms > 999) {
        y = 1900;
        mo = d = 1;
        h = mi = s = ms = 0;
    }
    const long long days = daysFromCivil(y, mo, d) - daysFromCivil(1900, 1, 1);
    const long long ticks = ((h * 3600LL + mi * 60LL + s) * 1000LL + ms) * 3 / 10;
    if (c.nullable) {
        w.u8(8);
    }
    w.u32le(static_cast<std::uint32_t>(days));
    w.u32le(static_cast<std::uint32_t>(ticks));
}

void writeBinary(ByteWriter& w, const Column& c, std::string_view bytes) {
    std::string b(bytes.substr(0, c.chars));
    b.resize(c.chars, '\0');
    w.u16le(static_cast<std::uint16_t>(b.size()));
    w.bytes(b);
}

// A NULL in a NOT NULL column cannot go out as such; zeros keep the stream readable.
void writeNull(ByteWriter& w, const Column& c) {
    if (c.type == ColumnType::NVarCharMax) {
        w.u64le(kPlpNull);
    } else if (isText(c.type) || c.type == ColumnType::Binary) {
        w.u16le(0xFFFF);
    } else if (c.nullable || c.type == ColumnType::Decimal) {
        w.u8(0);
    } else if (c.type == ColumnType::DateTime) {
        writeDateTime(w, c, "");
    } else {
        writeInt(w, c, 0);
    }
}

void writeText(std::string& out, const Column& c, std::string_view text) {
    if (c.type == ColumnType::NVarCharMax) {
        writePlpText(out, text);
        return;
    }
    ByteWriter w(out);
    std::size_t lenPos = out.size();
    w.u16le(0);
    std::size_t start = out.size();
    w.ucs2(text);
    std::size_t maxBytes = static_cast<std::size_t>(c.chars) * 2;
    if (out.size() - start > maxBytes) {
        out.resize(start + maxBytes);
    }
    if (c.type == ColumnType::NChar) {
        // Blanks in UCS-2, enough for the widest nchar column (8000 bytes).
        static const std::string blanks = [] {
            std::string b;
            for (int i = 0; i < 4000; ++i) {
                b += std::string(" \0", 2);
            }
            return b;
        }();
        std::size_t have = out.size() - start;
        if (have < maxBytes) {
            out.append(blanks, 0, maxBytes - have);
        }
    }
    w.patchU16le(lenPos, static_cast<std::uint16_t>(out.size() - start));
}

} // namespace

Column wireColumn(const TokenWriter& tw, Column column) {
    if (column.type == ColumnType::BigInt && !tw.collations()) {
        column.type = ColumnType::Decimal;
    }
    if (column.type == ColumnType::NVarCharMax && !tw.tds72()) {
        column.type = ColumnType::NVarChar;
        column.chars = 4000;
    }
    return column;
}

void writeColumnMetadata(TokenWriter& tw, const std::vector<Column>& columns) {
    ByteWriter w(tw.out());
    w.u8(0x81);
    w.u16le(static_cast<std::uint16_t>(columns.size()));
    for (const Column& declared : columns) {
        const Column c = wireColumn(tw, declared);
        tw.userType();
        w.u16le(c.nullable ? 0x0001 : 0x0000);
        if (isText(c.type)) {
            w.u8(c.type == ColumnType::NChar ? 0xEF : 0xE7);
            w.u16le(c.type == ColumnType::NVarCharMax ? 0xFFFF
                                                      : static_cast<std::uint16_t>(c.chars * 2));
            if (tw.collations()) {
                w.bytes(kCollation);
            }
        } else if (c.type == ColumnType::Binary) {
            w.u8(0xAD);
            w.u16le(c.chars);
        } else if (c.type == ColumnType::Decimal) {
            w.u8(0x6A); // DECIMALN: length, precision, scale
            w.u8(9);
            w.u8(19);
            w.u8(0);
        } else {
            writeNumberType(w, c);
        }
        w.bVarchar(c.name);
    }
}

void writeRowStart(std::string& out) {
    out.push_back(static_cast<char>(0xD1));
}

void writeIntValue(std::string& out, const Column& column, std::int64_t value) {
    ByteWriter w(out);
    if (isText(column.type)) {
        writeText(out, column, std::to_string(value));
    } else if (column.type == ColumnType::DateTime || column.type == ColumnType::Binary) {
        writeNull(w, column);
    } else {
        writeInt(w, column, value);
    }
}

void writeTextValue(std::string& out, const Column& column, std::string_view text) {
    ByteWriter w(out);
    if (isText(column.type)) {
        writeText(out, column, text);
    } else if (column.type == ColumnType::DateTime) {
        writeDateTime(w, column, text);
    } else if (column.type == ColumnType::Binary) {
        writeBinary(w, column, text);
    } else {
        writeNull(w, column);
    }
}

void writeNullValue(std::string& out, const Column& column) {
    ByteWriter w(out);
    writeNull(w, column);
}

void writeRow(TokenWriter& tw, const std::vector<Column>& columns, const std::vector<Value>& row) {
    std::string& out = tw.out();
    out.push_back(static_cast<char>(0xD1));
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const Column c = wireColumn(tw, columns[i]);
        const Value& v = i < row.size() ? row[i] : Value{Null{}};
        if (const auto* s = std::get_if<std::string>(&v)) {
            writeTextValue(out, c, *s);
        } else if (const auto* n = std::get_if<std::int64_t>(&v)) {
            writeIntValue(out, c, *n);
        } else {
            writeNullValue(out, c);
        }
    }
}

} // namespace tdssim
