// Which kind of server a monitor watches, learned from the permission question at connect
// (SERVERPROPERTY('EngineEdition'), SERVERPROPERTY('ProductVersion'), an rdsadmin database),
// and the statements that differ between them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

enum class TServerEdition : std::uint8_t {
    SqlServer,               // EngineEdition 1 to 4: a server of one's own
    AzureSqlDatabase,        // 5: one database per connection, database-level permissions
    AzureSqlManagedInstance, // 8: behaves like a server of one's own
    Rds,                     // 1 to 4 with an rdsadmin database: the master login is no sysadmin
};

// The edition of an EngineEdition (nullopt: the column was not in the answer, as from an older
// server's) and whether rdsadmin exists. Throws Exception naming any other edition, or a NULL.
TServerEdition EditionFromEngine(std::optional<std::int64_t> engineEdition, bool isNull,
                                 bool hasRdsAdmin);

// "sql_server", "azure_sql_database", "azure_sql_managed_instance", "rds".
const char* EditionLabel(TServerEdition edition);
// "SQL Server", "Azure SQL Database", ... for the user.
const char* EditionCaption(TServerEdition edition);

// "Azure SQL Database 12.0.2000.8" for the user: the caption and the version when known.
std::string EditionText(TServerEdition edition, const std::string& version);

// A ProductVersion as the server gave it, kept to what a version holds (digits, letters,
// "." and "-", at most 32 characters); empty for NULL or nothing usable.
std::string SafeProductVersion(const std::string& text);

// The process query's DMV form for Azure SQL Database: the same fifteen columns from
// sys.dm_exec_sessions left-joined to sys.dm_exec_requests, so a sleeping session holding an
// open transaction is a row of its own.
extern const char* const DmProcessQueryText;
// The identity and last request of one session from sys.dm_exec_sessions.
std::string DmSessionIdentityQuery(std::int32_t spid);
std::string DmLastBatchQuery(std::int32_t spid);
// The connected database's id and name: all that Azure SQL Database shows of sysdatabases.
extern const char* const CurrentDatabaseQueryText;
