#include "TokenWriter.h"

#include "Bytes.h"

namespace tdssim {

void TokenWriter::envChange(std::uint8_t type, std::string_view newValue,
                            std::string_view oldValue) {
    ByteWriter w(out_);
    w.u8(0xE3);
    std::size_t lenPos = w.size();
    w.u16le(0);
    w.u8(type);
    w.bVarchar(newValue);
    w.bVarchar(oldValue);
    w.patchU16le(lenPos, static_cast<std::uint16_t>(w.size() - lenPos - 2));
}

void TokenWriter::envChangeCollation() {
    ByteWriter w(out_);
    w.u8(0xE3);
    w.u16le(static_cast<std::uint16_t>(1 + 1 + kCollation.size() + 1));
    w.u8(7);
    w.u8(static_cast<std::uint8_t>(kCollation.size()));
    w.bytes(kCollation);
    w.u8(0);
}

void TokenWriter::envChangeBeginTransaction(std::uint64_t descriptor) {
    ByteWriter w(out_);
    w.u8(0xE3);
    w.u16le(1 + 1 + 8 + 1);
    w.u8(8);
    w.u8(8);
    w.u64le(descriptor);
    w.u8(0);
}

void TokenWriter::envChangeEndTransaction(std::uint8_t type, std::uint64_t descriptor) {
    ByteWriter w(out_);
    w.u8(0xE3);
    w.u16le(1 + 1 + 1 + 8);
    w.u8(type);
    w.u8(0);
    w.u8(8);
    w.u64le(descriptor);
}

void TokenWriter::message(std::uint8_t token, const ServerMessage& m) {
    ByteWriter w(out_);
    w.u8(token);
    std::size_t lenPos = w.size();
    w.u16le(0);
    w.u32le(static_cast<std::uint32_t>(m.number));
    w.u8(m.state);
    w.u8(m.severity);
    w.usVarchar(m.text);
    w.bVarchar(serverName_);
    w.bVarchar(m.procedure);
    const std::int32_t line = m.line + statementLine_ - 1;
    if (tds72_) {
        w.u32le(static_cast<std::uint32_t>(line));
    } else {
        w.u16le(static_cast<std::uint16_t>(line));
    }
    w.patchU16le(lenPos, static_cast<std::uint16_t>(w.size() - lenPos - 2));
}

void TokenWriter::loginAck(std::uint32_t tdsVersion) {
    static constexpr std::string_view kName = "Microsoft SQL Server";
    ByteWriter w(out_);
    w.u8(0xAD);
    w.u16le(static_cast<std::uint16_t>(10 + 2 * kName.size()));
    w.u8(1); // interface: SQL (FreeTDS insists on it)
    w.u32be(tdsVersion);
    w.bVarchar(kName);
    w.u8(15); // 15.0.2000
    w.u8(0);
    w.u8(2000 >> 8);
    w.u8(2000 & 0xFF);
}

void TokenWriter::doneToken(std::uint8_t token, std::uint16_t status, std::uint16_t command,
                            std::uint64_t rows) {
    ByteWriter w(out_);
    w.u8(token);
    w.u16le(status);
    w.u16le(command);
    if (tds72_) {
        w.u64le(rows);
    } else {
        w.u32le(static_cast<std::uint32_t>(rows));
    }
}

void TokenWriter::returnStatus(std::int32_t value) {
    ByteWriter w(out_);
    w.u8(0x79);
    w.u32le(static_cast<std::uint32_t>(value));
}

void TokenWriter::userType() {
    ByteWriter w(out_);
    if (tds72_) {
        w.u32le(0);
    } else {
        w.u16le(0);
    }
}

void TokenWriter::returnValueInt(std::uint16_t ordinal, std::string_view name, std::int32_t value) {
    ByteWriter w(out_);
    w.u8(0xAC);
    w.u16le(ordinal);
    w.bVarchar(name);
    w.u8(0x01); // output parameter
    userType();
    w.u16le(0x0001); // nullable
    w.u8(0x26);
    w.u8(4);
    w.u8(4);
    w.u32le(static_cast<std::uint32_t>(value));
}

} // namespace tdssim
