// The kinds of server tdssim can answer as: a SQL Server (EngineEdition 1 to 4), Azure SQL
// Database (5), Azure SQL Managed Instance (8), and Amazon RDS for SQL Server (a SQL Server
// with an rdsadmin database, whose master login is not sysadmin). The sources of each
// behaviour are listed in sim/README.md.
#pragma once

#include "Executor.h"
#include "Statement.h"

#include <optional>
#include <string>
#include <string_view>

namespace tdssim {

// Brings the scenario's logins and databases in line with its edition; run once, after the
// command line has set engineEdition and rds.
void prepareEdition(Scenario& scenario);

bool isAzureDatabase(const Scenario& scenario);

// The three-part name into master that Azure SQL Database refuses (Msg 40515), as written
// in the text; nullopt when the text names none.
std::optional<std::string> masterReference(std::string_view text);

// The statements answered from the DMVs in every edition: the process query's DMV form,
// a session's identity and last request, SERVERPROPERTY and the current database.
bool classifyEditionStatement(const std::string& normalized, Statement& st);

// Sends Azure SQL Database's refusals (40515, 40508, no server-scoped XE views); true when
// the statement was refused.
bool refuseOnAzureDatabase(TokenWriter& tw, SessionContext& ctx, std::string_view text, Ending end,
                           StatementResult& result);

StatementResult executeEditionStatement(TokenWriter& tw, SessionContext& ctx, const Statement& st,
                                        Ending end, Clock::time_point now);

// The process query's DMV form, as the monitor sends it.
extern const char* const kDmProcessQuery;

} // namespace tdssim
