// Running a batch: its statements in turn, after the compile errors that stop it all.
#include "Deadlocks.h"
#include "Executor.h"
#include "ProcessSelect.h"
#include "Statement.h"
#include "Transactions.h"

namespace tdssim {

namespace {

ServerMessage msg(int number, int severity, int state, std::string text) {
    ServerMessage m;
    m.number = number;
    m.severity = static_cast<std::uint8_t>(severity);
    m.state = static_cast<std::uint8_t>(state);
    m.text = std::move(text);
    return m;
}

// What stops a batch before it runs: a statement the server cannot parse, or a name in it
// that does not bind.
std::optional<ServerMessage> compileError(std::string_view text) {
    const Statement st = classifyStatement(text);
    if (st.kind == StatementKind::Unknown) {
        return msg(102, 15, 1, "Incorrect syntax near '" + st.word + "'.");
    }
    if (st.kind == StatementKind::ProcessSelect) {
        if (std::optional<ProcessSelect> q = parseProcessSelect(text)) {
            return q->error;
        }
    }
    return std::nullopt;
}

} // namespace

StatementResult executeBatch(TokenWriter& tw, SessionContext& ctx, std::string_view text,
                             bool inProc, Clock::time_point now) {
    // A client chosen as a deadlock's victim learns it from its next batch; its transaction
    // was rolled back.
    if (ctx.state.deadlocks(now).takeVictim(ctx.spid)) {
        endTransactionByServer(tw, ctx);
        sendError(tw,
                  msg(1205, 13, 51,
                      "Transaction (Process ID " + std::to_string(ctx.spid) +
                          ") was deadlocked on lock resources with another process and has been "
                          "chosen as the deadlock victim. Rerun the transaction."),
                  inProc ? Ending::InProc : Ending::Last);
        return {false, false, true};
    }
    bool unclosedComment = false;
    blankComments(text, &unclosedComment);
    if (unclosedComment) {
        sendError(tw, msg(113, 15, 1, "Missing end comment mark '*/'."),
                  inProc ? Ending::InProc : Ending::Last);
        return {false, false, true};
    }
    const std::vector<BatchPart> parts = splitBatchLines(text);
    // Errors report the batch line their statement starts on.
    struct LineScope {
        TokenWriter& tw;
        ~LineScope() { tw.setStatementLine(1); }
    } scope{tw};
    // A compile error (a statement the server cannot parse, a name it cannot bind) stops the
    // whole batch before anything runs.
    for (const BatchPart& part : parts) {
        if (std::optional<ServerMessage> error = compileError(part.text)) {
            tw.setStatementLine(part.line);
            sendError(tw, *error, inProc ? Ending::InProc : Ending::Last);
            return {false, false, true};
        }
    }
    // Run-time errors end their own statement only; the rest still run.
    StatementResult all;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        const Ending end = inProc ? Ending::InProc : (last ? Ending::Last : Ending::More);
        tw.setStatementLine(parts[i].line);
        StatementResult r = executeStatement(tw, ctx, parts[i].text, end, now);
        all.rows = all.rows || r.rows;
        all.processQuery = all.processQuery || r.processQuery;
        all.failed = all.failed || r.failed;
    }
    return all;
}

} // namespace tdssim
