#include "ResultSet.h"

#include "Bytes.h"

namespace tdssim {

namespace {

int intWidth(ColumnType t) {
    switch (t) {
    case ColumnType::SmallInt:
        return 2;
    case ColumnType::Int:
        return 4;
    default:
        return 8;
    }
}

bool isText(ColumnType t) {
    return t == ColumnType::NVarChar || t == ColumnType::NChar;
}

void writeInt(ByteWriter& w, int width, std::int64_t v) {
    w.u8(static_cast<std::uint8_t>(width));
    auto u = static_cast<std::uint64_t>(v);
    for (int i = 0; i < width; ++i) {
        w.u8(static_cast<std::uint8_t>(u & 0xFF));
        u >>= 8;
    }
}

void writeText(std::string& out, const Column& c, std::string_view text) {
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

void writeColumnMetadata(TokenWriter& tw, const std::vector<Column>& columns) {
    ByteWriter w(tw.out());
    w.u8(0x81);
    w.u16le(static_cast<std::uint16_t>(columns.size()));
    for (const Column& c : columns) {
        tw.userType();
        w.u16le(0x0001); // nullable
        if (isText(c.type)) {
            w.u8(c.type == ColumnType::NChar ? 0xEF : 0xE7);
            w.u16le(static_cast<std::uint16_t>(c.chars * 2));
            w.bytes(kCollation);
        } else {
            w.u8(0x26);
            w.u8(static_cast<std::uint8_t>(intWidth(c.type)));
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
    } else {
        writeInt(w, intWidth(column.type), value);
    }
}

void writeTextValue(std::string& out, const Column& column, std::string_view text) {
    writeText(out, column, text);
}

void writeNullValue(std::string& out, const Column& column) {
    ByteWriter w(out);
    if (isText(column.type)) {
        w.u16le(0xFFFF);
    } else {
        w.u8(0);
    }
}

void writeRow(TokenWriter& tw, const std::vector<Column>& columns, const std::vector<Value>& row) {
    std::string& out = tw.out();
    ByteWriter w(out);
    w.u8(0xD1);
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const Column& c = columns[i];
        const Value& v = i < row.size() ? row[i] : Value{Null{}};
        if (isText(c.type)) {
            if (const auto* s = std::get_if<std::string>(&v)) {
                writeText(out, c, *s);
            } else if (const auto* n = std::get_if<std::int64_t>(&v)) {
                writeText(out, c, std::to_string(*n));
            } else {
                w.u16le(0xFFFF);
            }
        } else {
            if (const auto* n = std::get_if<std::int64_t>(&v)) {
                writeInt(w, intWidth(c.type), *n);
            } else {
                w.u8(0);
            }
        }
    }
}

} // namespace tdssim
