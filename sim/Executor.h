// Answers one statement of a session: result sets, messages and the closing DONE.
#pragma once

#include "ServerState.h"
#include "TokenWriter.h"

#include <string_view>

namespace tdssim {

struct StatementResult {
    bool rows = false;         // a result set was sent
    bool processQuery = false; // it was the process query
    bool failed = false;       // an error was sent
};

struct SessionContext {
    ServerState& state;
    int spid;
    const LoginDef& login;
};

// Appends the reply to one statement. In a batch it ends with a final DONE; inside an RPC
// (inProc) with a DONEINPROC that says more follows.
StatementResult executeStatement(TokenWriter& tw, SessionContext& ctx, std::string_view text,
                                 bool inProc, Clock::time_point now);

// ERROR followed by the closing DONE (or DONEINPROC) with the error bit.
void sendError(TokenWriter& tw, const ServerMessage& m, bool inProc);

} // namespace tdssim
