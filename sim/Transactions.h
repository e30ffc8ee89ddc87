// BEGIN TRAN, COMMIT and ROLLBACK in a batch, as the server answers them: the session's
// transaction count, the transaction ENVCHANGEs (TDS 7.2 on) and Msg 3902/3903 for an
// end without a beginning.
#pragma once

#include "Executor.h"
#include "Statement.h"

namespace tdssim {

// st.word: "begin", "commit" or "rollback" (with "+begin" when a new transaction follows
// at once); st.number 1: guarded by IF @@TRANCOUNT > 0, so no error without one.
StatementResult runTransactionStatement(TokenWriter& tw, SessionContext& ctx, const Statement& st,
                                        Ending end);

// A deadlock victim's transaction is gone: the count drops to 0 and the client is told.
void endTransactionByServer(TokenWriter& tw, SessionContext& ctx);

} // namespace tdssim
