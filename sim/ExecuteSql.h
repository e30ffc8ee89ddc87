// EXEC sp_executesql N'statement' [, N'@p int, ...' [, @p = value, ...]] written in a batch:
// the same call an RPC makes, read from its text.
#pragma once

#include "Executor.h"
#include "Requests.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tdssim {

struct ExecuteSqlCall {
    std::string statement;
    std::string declarations;
    std::vector<RpcParam> values; // integers, strings and NULL, named or in order
};

std::optional<ExecuteSqlCall> parseExecuteSqlStatement(std::string_view text);

// Runs the statement with its values bound, as sp_executesql does: the inner statements'
// replies, RETURNSTATUS, then DONEPROC.
StatementResult executeSqlInBatch(TokenWriter& tw, SessionContext& ctx, const ExecuteSqlCall& call,
                                  Ending end, Clock::time_point now);

} // namespace tdssim
