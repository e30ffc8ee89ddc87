#include "ExecuteSql.h"

#include "RpcBinding.h"
#include "SqlTokens.h"
#include "TextUtil.h"

namespace tdssim {

namespace {

bool isExecuteSqlName(const std::string& name) {
    for (const char* n :
         {"sp_executesql", "sys.sp_executesql", "dbo.sp_executesql", "master.sys.sp_executesql",
          "master.dbo.sp_executesql", "master..sp_executesql"}) {
        if (name == n) {
            return true;
        }
    }
    return false;
}

// "@name =" before an argument; empty when the argument goes by position.
std::optional<std::string> argumentName(SqlCursor& p) {
    const SqlToken* t = p.peek();
    if (t && t->kind == SqlToken::Word && !t->delimited && t->text.size() > 1 &&
        t->text[0] == '@' && p.peekPunct("=", 1)) {
        p.anyWord();
        p.punct("=");
        return t->text;
    }
    return std::string();
}

} // namespace

std::optional<ExecuteSqlCall> parseExecuteSqlStatement(std::string_view text) {
    std::optional<SqlCursor> parsed = sqlCursorFor(text);
    if (!parsed) {
        return std::nullopt;
    }
    SqlCursor& p = *parsed;
    if (!p.word("exec") && !p.word("execute")) {
        return std::nullopt;
    }
    std::string name;
    for (;;) {
        if (p.punct(".")) {
            name += '.';
            continue;
        }
        if (!name.empty() && name.back() != '.') {
            break;
        }
        const SqlToken* w = p.anyWord();
        if (!w) {
            break;
        }
        name += w->text;
    }
    if (!isExecuteSqlName(name)) {
        return std::nullopt;
    }
    ExecuteSqlCall call;
    std::optional<std::string> stmtName = argumentName(p);
    std::optional<std::string> statement = p.string();
    if (!statement || (!stmtName->empty() && *stmtName != "@stmt")) {
        return std::nullopt;
    }
    call.statement = *statement;
    if (p.punct(",")) {
        std::optional<std::string> paramsName = argumentName(p);
        std::optional<std::string> declarations = p.string();
        if (!declarations || (!paramsName->empty() && *paramsName != "@params")) {
            return std::nullopt;
        }
        call.declarations = *declarations;
        while (p.punct(",")) {
            RpcParam value;
            value.name = *argumentName(p);
            if (std::optional<long long> n = p.number()) {
                value.intValue = n;
            } else if (std::optional<std::string> s = p.string()) {
                value.textValue = s;
            } else if (p.word("null")) {
                value.isNull = true;
            } else {
                return std::nullopt;
            }
            call.values.push_back(std::move(value));
        }
    }
    if (!p.atEnd()) {
        return std::nullopt;
    }
    return call;
}

StatementResult executeSqlInBatch(TokenWriter& tw, SessionContext& ctx, const ExecuteSqlCall& call,
                                  Ending end, Clock::time_point now) {
    // The statement is compiled when sp_executesql runs: its errors are the call's own.
    StatementResult r = executeBatch(
        tw, ctx, bindParameters(call.statement, call.declarations, call.values), true, now);
    if (end == Ending::InProc) {
        return r;
    }
    tw.returnStatus(r.failed ? -6 : 0);
    std::uint16_t status = end == Ending::Last ? DoneStatus::Final : DoneStatus::More;
    if (r.failed) {
        status |= DoneStatus::Error;
    }
    tw.doneProc(status, 0, 0);
    return r;
}

} // namespace tdssim
