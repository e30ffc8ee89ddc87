// Answers one statement of a session: result sets, messages and the closing DONE.
#pragma once

#include "ServerState.h"
#include "TokenWriter.h"

#include <cstdint>
#include <string_view>

namespace tdssim {

struct StatementResult {
    bool rows = false;         // a result set was sent
    bool processQuery = false; // it was the process query
    bool failed = false;       // an error was sent
};

// The descriptor of the session's open transaction as ENVCHANGE 8 announced it (0: none),
// shared by T-SQL BEGIN TRAN/COMMIT/ROLLBACK and the transaction manager requests.
struct TransactionDescriptor {
    std::uint64_t current = 0;
    std::uint64_t next = 0x1000;
};

struct SessionContext {
    ServerState& state;
    int spid;
    const LoginDef& login;
    TransactionDescriptor* transaction = nullptr; // null: no descriptors are announced
};

// How a statement's reply ends: the batch's last DONE, a DONE that says more follows, or a
// DONEINPROC inside an RPC.
enum class Ending { Last, More, InProc };

// Appends the reply to one statement.
StatementResult executeStatement(TokenWriter& tw, SessionContext& ctx, std::string_view text,
                                 Ending end, Clock::time_point now);

// Appends the reply to a batch of one or more statements, each with its own DONE.
StatementResult executeBatch(TokenWriter& tw, SessionContext& ctx, std::string_view text,
                             bool inProc, Clock::time_point now);

// ERROR followed by the closing DONE (or DONEINPROC) with the error bit.
void sendError(TokenWriter& tw, const ServerMessage& m, Ending end);
void sendError(TokenWriter& tw, const ServerMessage& m, bool inProc);

} // namespace tdssim
