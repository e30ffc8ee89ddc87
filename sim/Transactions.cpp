#include "Transactions.h"

namespace tdssim {

namespace {

constexpr std::uint16_t kCmdTransaction = 0xD4; // BEGIN/COMMIT/ROLLBACK TRANSACTION

void finish(TokenWriter& tw, std::uint16_t status, Ending end) {
    if (end == Ending::InProc) {
        tw.doneInProc(static_cast<std::uint16_t>(status | DoneStatus::More), kCmdTransaction, 0);
    } else {
        tw.done(static_cast<std::uint16_t>(status | (end == Ending::More ? DoneStatus::More : 0)),
                kCmdTransaction, 0);
    }
}

void announceBegin(TokenWriter& tw, TransactionDescriptor* d) {
    if (d) {
        d->current = d->next++;
        if (tw.tds72()) {
            tw.envChangeBeginTransaction(d->current);
        }
    }
}

void announceEnd(TokenWriter& tw, TransactionDescriptor* d, std::uint8_t type) {
    if (d && d->current != 0) {
        if (tw.tds72()) {
            tw.envChangeEndTransaction(type, d->current);
        }
        d->current = 0;
    }
}

} // namespace

StatementResult runTransactionStatement(TokenWriter& tw, SessionContext& ctx, const Statement& st,
                                        Ending end) {
    SessionDef* row = ctx.state.connectionRow(ctx.spid);
    if (!row) {
        finish(tw, DoneStatus::Final, end);
        return {};
    }
    const bool begins = st.word == "begin" || st.word.find("+begin") != std::string::npos;
    if (st.word != "begin") {
        const bool commit = st.word.rfind("commit", 0) == 0;
        if (row->openTran == 0 && st.number == 0) {
            ServerMessage m;
            m.number = commit ? 3902 : 3903;
            m.severity = 16;
            m.state = 1;
            m.text = std::string("The ") + (commit ? "COMMIT" : "ROLLBACK") +
                     " TRANSACTION request has no corresponding BEGIN TRANSACTION.";
            sendError(tw, m, end);
            return {false, false, true};
        }
        // COMMIT ends the outermost transaction only; ROLLBACK ends them all.
        if (row->openTran > 0) {
            row->openTran = commit ? row->openTran - 1 : 0;
            if (row->openTran == 0) {
                announceEnd(tw, ctx.transaction, commit ? 9 : 10);
            }
        }
    }
    if (begins) {
        if (row->openTran == 0) {
            announceBegin(tw, ctx.transaction);
        }
        ++row->openTran;
    }
    finish(tw, DoneStatus::Final, end);
    return {};
}

void endTransactionByServer(TokenWriter& tw, SessionContext& ctx) {
    if (SessionDef* row = ctx.state.connectionRow(ctx.spid)) {
        row->openTran = 0;
    }
    announceEnd(tw, ctx.transaction, 10);
}

} // namespace tdssim
