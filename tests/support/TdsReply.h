// A server reply read token by token, written from the protocol documentation apart from
// tdssim's code: result sets with their column types and values, messages, environment
// changes and DONE tokens, so that tests can say what a reply holds rather than where.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tallyvane::testsupport {

struct ReplyColumn {
    std::string name;
    std::uint8_t type = 0;    // TYPE_INFO's type byte
    std::uint16_t flags = 0;  // 0x0001 nullable
    std::uint32_t length = 0; // declared length in bytes (0xFFFF: a (max) type sent as PLP)
    std::uint8_t precision = 0, scale = 0; // decimal and numeric
};

struct ReplyValue {
    bool isNull = false;
    std::optional<std::int64_t> integer; // integer types, and decimal with scale 0
    std::string text;                    // character types as UTF-8, binary as bytes
    int plpChunks = 0;                   // chunks of a PLP value
};

struct ReplyResultSet {
    std::vector<ReplyColumn> columns;
    std::vector<std::vector<ReplyValue>> rows;
};

struct ReplyMessage {
    bool error = false; // ERROR, else INFO
    std::int32_t number = 0;
    int state = 0, severity = 0;
    std::string text;
    std::int32_t line = 0;
};

struct ReplyEnvChange {
    std::uint8_t type = 0;
    std::string newValue, oldValue; // text of B_VARCHAR types, else the bytes
};

struct ReplyDone {
    std::uint8_t token = 0; // 0xFD DONE, 0xFE DONEPROC, 0xFF DONEINPROC
    std::uint16_t status = 0;
    std::uint64_t rows = 0;
};

struct TdsReply {
    std::vector<ReplyResultSet> resultSets;
    std::vector<ReplyMessage> messages;
    std::vector<ReplyEnvChange> envChanges;
    std::vector<ReplyDone> dones;
    std::vector<std::int32_t> returnStatuses;
    std::vector<std::uint8_t> tokens; // every token byte in order

    std::vector<std::int32_t> errorNumbers() const;
};

// Reads a whole reply payload; throws std::runtime_error at anything it cannot read.
// tdsVersion as LOGINACK gives it (0x74000004, 0x07000000 for 7.0, ...).
TdsReply readTdsReply(const std::string& payload, std::uint32_t tdsVersion = 0x74000004);

} // namespace tallyvane::testsupport
