// Recognises the statements tdssim answers. Texts compare after folding case and runs
// of white space, so line breaks and capitals do not matter.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tdssim {

enum class StatementKind {
    Empty,
    ProcessQuery,
    IsSysAdmin,
    InputBuffer, // number = SPID
    Kill,        // number = SPID
    SelectInt,   // number = value
    Version,
    Variable, // word = variable or function, e.g. "@@spid", "db_name()"
    Use,      // word = database name
    Set,
    Transaction,       // word = "begin", "commit", "rollback"
    Databases,         // dbid and name of every database
    SessionIdentity,   // number = SPID: login, host, program, login time
    ObjectNames,       // number = object or hobt id, number2 = dbid, word = "object" or "hobt"
    Permissions,       // word = one letter a column: s sysadmin, v VIEW SERVER STATE,
                       // a ALTER ANY CONNECTION, n suser_sname(), p VIEW SERVER PERFORMANCE
                       // STATE, e EngineEdition, r ProductVersion, d db_id('rdsadmin'),
                       // w VIEW DATABASE STATE, k KILL DATABASE CONNECTION,
                       // m ##MS_ServerStateReader##
    DmInputBuffer,     // number = SPID, word = one letter a column: t event_type,
                       // p parameters, i event_info
    LastBatch,         // number = SPID: last_batch and getdate()
    TranBegin,         // number = SPID: its oldest open transaction's begin and getdate()
    ServerClock,       // select convert(varchar(30), sysutcdatetime(), 126)
    DeadlockRead,      // the system_health ring buffer's deadlock reports; number = since (ms),
                       // number2 = characters of each report
    LockWaitStats,     // sys.dm_os_wait_stats summed over the LCK_M_ wait types
    ProcessSelect,     // a plain SELECT over sysprocesses (ProcessSelect.h)
    SpWho,             // exec sp_who [argument]
    ExecuteSql,        // exec sp_executesql N'...' [, N'@p ...' [, values]] (ExecuteSql.h)
    DmProcessQuery,    // the process query's DMV form (Editions.h)
    DmSessionIdentity, // number = SPID, from sys.dm_exec_sessions
    DmLastBatch,       // number = SPID: last_request_start_time and getdate()
    ServerProperty,    // word = "engineedition" or "productversion"
    CurrentDatabase,   // select db_id(), db_name()
    Unknown,           // word = the token a syntax error points at
};

struct Statement {
    StatementKind kind = StatementKind::Unknown;
    long long number = 0;
    long long number2 = 0;
    std::string word;
};

// Lower case, white space runs folded to one blank, trimmed, trailing ';' dropped.
std::string normalizeSql(std::string_view text);

Statement classifyStatement(std::string_view text);

// The text with its comments (-- to the line's end, nested /* */) turned into blanks, line
// breaks kept; quotes and delimited names are left alone. unclosed: set when a /* has no end.
std::string blankComments(std::string_view text, bool* unclosed = nullptr);

// The statements of a batch: split at ";" and before a line that starts a new statement
// (SELECT, SET, USE, KILL, DBCC, ...), never inside quotes, brackets or comments. Comments
// come back as blanks; empty pieces are dropped; a batch of one statement comes back whole.
std::vector<std::string> splitBatch(std::string_view text);

// The same pieces with the batch line each starts on (its first character that is not
// white space), counted from 1, as error messages report it.
struct BatchPart {
    std::string text;
    int line = 1;
};
std::vector<BatchPart> splitBatchLines(std::string_view text);

// The exact process query, as its three lines joined by CR LF.
extern const char* const kProcessQuery;

// The deadlock read without its SET line, "{since}" standing for the timestamp literal
// (e.g. 2026-12-11T02:00:01.250Z).
extern const char* const kDeadlockRead;

} // namespace tdssim
