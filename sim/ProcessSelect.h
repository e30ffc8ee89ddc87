// A DBA's own look at the process table: a plain SELECT over sysprocesses (any of its
// columns in any order, or *, a WHERE of integer comparisons joined by AND, an ORDER BY),
// and sp_who, from a batch or over RPC.
#pragma once

#include "Executor.h"
#include "TokenWriter.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tdssim {

struct ProcessSelect {
    struct Condition {
        std::size_t column = 0; // index into the catalog's columns
        std::string op;         // = <> != < > <= >=
        long long value = 0;
    };
    struct Order {
        std::size_t column = 0;
        bool descending = false;
        bool negated = false; // ORDER BY -spid: by the integer's negation
    };
    std::vector<std::size_t> columns;
    std::vector<std::string> names; // as the result set names them (an alias or the column)
    std::vector<Condition> where;
    std::vector<Order> orderBy;
    std::optional<long long> top;
    bool topPercent = false;
    bool distinct = false;
    // A compile-time error (an unknown column 207, an unbound prefix 4104 or 107, an ORDER BY
    // position out of range 108, ...): the statement runs nothing, nor does its batch.
    std::optional<ServerMessage> error;
};

// The columns of sysprocesses, in the view's own order (ProcessSelect.cpp holds the catalog,
// ProcessSelectParser.cpp reads the statements).
std::optional<std::size_t> findProcessColumn(const std::string& name);
bool isIntegerProcessColumn(std::size_t index);
std::size_t processColumnCount();
const char* processColumnName(std::size_t index);

// Nullopt: the text is not a SELECT over sysprocesses of this shape (its error stays).
std::optional<ProcessSelect> parseProcessSelect(std::string_view text);

StatementResult answerProcessSelect(TokenWriter& tw, SessionContext& ctx, const ProcessSelect& q,
                                    Ending end, Clock::time_point now);

// sp_who's optional argument: a SPID, 'active', or a login name.
struct SpWhoCall {
    std::optional<long long> spid;
    std::optional<std::string> text;
};

// "exec sp_who", "sp_who 53", "execute master.dbo.sp_who 'active'", ...
std::optional<SpWhoCall> parseSpWhoStatement(std::string_view text);
// The procedure name of an RPC (any case, with or without master.dbo. or sys.).
bool isSpWhoName(std::string_view procName);

// The result set and its DONEINPROC. inBatch: then RETURNSTATUS and DONEPROC follow (an RPC
// caller writes those itself).
StatementResult answerSpWho(TokenWriter& tw, SessionContext& ctx, const SpWhoCall& call, Ending end,
                            bool inBatch, Clock::time_point now);

} // namespace tdssim
