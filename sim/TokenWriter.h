// The tokens of a server reply (ENVCHANGE, INFO/ERROR, LOGINACK, DONE, RETURNVALUE, ...),
// appended to a message payload. Layouts depend a little on the TDS version in use.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tdssim {

namespace DoneStatus {
constexpr std::uint16_t Final = 0x0000;
constexpr std::uint16_t More = 0x0001;
constexpr std::uint16_t Error = 0x0002;
constexpr std::uint16_t InTransaction = 0x0004;
constexpr std::uint16_t Count = 0x0010;
constexpr std::uint16_t Attention = 0x0020;
constexpr std::uint16_t ServerError = 0x0100;
} // namespace DoneStatus

// SQL_Latin1_General_CP1_CI_AS, code page 1252.
constexpr std::string_view kCollation{"\x09\x04\xD0\x00\x34", 5};

struct ServerMessage {
    std::int32_t number = 0;
    std::uint8_t state = 1;
    std::uint8_t severity = 16;
    std::string text;
    std::string procedure;
    std::int32_t line = 1;
};

class TokenWriter {
public:
    // tds72: the client speaks TDS 7.2 or later (wider DONE row counts and user types).
    TokenWriter(std::string& out, bool tds72, std::string serverName)
        : out_(out), tds72_(tds72), serverName_(std::move(serverName)) {}

    bool tds72() const { return tds72_; }
    // Character columns carry a collation from TDS 7.1 on; a 7.0 stream has none.
    bool collations() const { return collations_; }
    void setCollations(bool on) { collations_ = on; }
    // The line of the batch where the statement being answered starts: an ERROR's line
    // (counted within its statement) is reported within the batch.
    void setStatementLine(std::int32_t line) { statementLine_ = line; }
    std::string& out() { return out_; }

    void envChange(std::uint8_t type, std::string_view newValue, std::string_view oldValue);
    void envChangeCollation();
    void envChangeBeginTransaction(std::uint64_t descriptor);
    // type 9 commit, 10 rollback
    void envChangeEndTransaction(std::uint8_t type, std::uint64_t descriptor);
    void info(const ServerMessage& m) { message(0xAB, m); }
    void error(const ServerMessage& m) { message(0xAA, m); }
    // TDS version as LOGINACK spells it (see loginAckVersion).
    void loginAck(std::uint32_t tdsVersion);
    void done(std::uint16_t status, std::uint16_t command, std::uint64_t rows) {
        doneToken(0xFD, status, command, rows);
    }
    void doneProc(std::uint16_t status, std::uint16_t command, std::uint64_t rows) {
        doneToken(0xFE, status, command, rows);
    }
    void doneInProc(std::uint16_t status, std::uint16_t command, std::uint64_t rows) {
        doneToken(0xFF, status, command, rows);
    }
    void returnStatus(std::int32_t value);
    // An OUTPUT int parameter coming back, as sp_prepare and sp_prepexec return their handle.
    void returnValueInt(std::uint16_t ordinal, std::string_view name, std::int32_t value);
    // The user type field of COLMETADATA and RETURNVALUE: u32 from 7.2 on, u16 before.
    void userType();

private:
    void message(std::uint8_t token, const ServerMessage& m);
    void doneToken(std::uint8_t token, std::uint16_t status, std::uint16_t command,
                   std::uint64_t rows);

    std::string& out_;
    bool tds72_;
    bool collations_ = true;
    std::int32_t statementLine_ = 1;
    std::string serverName_;
};

} // namespace tdssim
