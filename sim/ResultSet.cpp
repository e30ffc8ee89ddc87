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

void writeText(std::string& out, const Column& c, const std::string& text) {
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
        std::size_t have = out.size() - start;
        out.reserve(start + maxBytes);
        for (; have < maxBytes; have += 2) {
            out.push_back(' ');
            out.push_back('\0');
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
