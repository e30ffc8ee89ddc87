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
    Transaction, // word = "begin", "commit", "rollback"
    Unknown,     // word = the token a syntax error points at
};

struct Statement {
    StatementKind kind = StatementKind::Unknown;
    long long number = 0;
    std::string word;
};

// Lower case, white space runs folded to one blank, trimmed, trailing ';' dropped.
std::string normalizeSql(std::string_view text);

Statement classifyStatement(std::string_view text);

// The statements of a batch: split at ";" and before a line that starts a new statement
// (SELECT, SET, USE, KILL, DBCC, ...), never inside quotes or brackets. Empty pieces are
// dropped; a batch of one statement comes back whole.
std::vector<std::string> splitBatch(std::string_view text);

// The exact process query, as its three lines joined by CR LF.
extern const char* const kProcessQuery;

} // namespace tdssim
