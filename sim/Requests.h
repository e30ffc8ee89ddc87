// Client requests after login: SQL batches, transaction manager requests and RPCs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tdssim {

struct SqlBatch {
    std::string text;
    std::uint64_t transaction = 0; // descriptor from ALL_HEADERS
};

// tds72: ALL_HEADERS precede the text (TDS 7.2 and later). Throws ProtocolError.
SqlBatch parseSqlBatch(std::string_view payload, bool tds72);

namespace TmType {
constexpr std::uint16_t GetDtcAddress = 0;
constexpr std::uint16_t Propagate = 1;
constexpr std::uint16_t Begin = 5;
constexpr std::uint16_t Promote = 6;
constexpr std::uint16_t Commit = 7;
constexpr std::uint16_t Rollback = 8;
constexpr std::uint16_t Save = 9;
} // namespace TmType

struct TmRequest {
    std::uint16_t type = 0;
    bool beginAfter = false; // commit/rollback that starts a new transaction at once
};

TmRequest parseTmRequest(std::string_view payload, bool tds72);

namespace ProcId {
constexpr std::uint16_t ExecuteSql = 10;
constexpr std::uint16_t Prepare = 11;
constexpr std::uint16_t Execute = 12;
constexpr std::uint16_t PrepExec = 13;
constexpr std::uint16_t Unprepare = 15;
} // namespace ProcId

struct RpcParam {
    std::string name;
    std::uint8_t status = 0; // 0x01 = output (by reference)
    std::uint8_t type = 0;
    bool isNull = false;
    std::optional<std::int64_t> intValue;
    std::optional<std::string> textValue; // UTF-8
};

struct RpcCall {
    std::uint16_t procId = 0; // 0 when called by name
    std::string procName;     // the well-known name also when called by id
    std::vector<RpcParam> params;
};

// All calls of one RPC request (a batch may hold several). Throws ProtocolError.
// collations: character parameters carry one (TDS 7.1 and later).
std::vector<RpcCall> parseRpc(std::string_view payload, bool tds72, bool collations = true);

} // namespace tdssim
