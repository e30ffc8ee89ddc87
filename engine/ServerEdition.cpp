#include "ServerEdition.h"

#include "Errors.h"

const char* const DmProcessQueryText =
    "select s.session_id, isnull(r.blocking_session_id, 0), db_name(), isnull(r.wait_time, 0), "
    "isnull(r.last_wait_type, N''), isnull(r.wait_resource, N''), s.open_transaction_count, "
    "isnull(r.status, s.status), s.host_name, s.program_name, "
    "isnull(r.command, N'AWAITING COMMAND'), s.login_name, s.cpu_time, s.reads + s.writes, "
    "s.memory_usage\r\n"
    "from sys.dm_exec_sessions s left outer join sys.dm_exec_requests r on r.session_id = "
    "s.session_id\r\n"
    "order by 2, 4";

const char* const CurrentDatabaseQueryText = "select db_id(), db_name()";

std::string DmSessionIdentityQuery(std::int32_t spid) {
    return "select login_name, host_name, program_name, convert(varchar(23), login_time, 121) "
           "from sys.dm_exec_sessions where session_id = " +
           std::to_string(spid);
}

std::string DmLastBatchQuery(std::int32_t spid) {
    return "select convert(varchar(23), last_request_start_time, 121), convert(varchar(23), "
           "getdate(), 121) from sys.dm_exec_sessions where session_id = " +
           std::to_string(spid);
}

namespace {

const char* EngineEditionName(std::int64_t edition) {
    switch (edition) {
    case 6:
        return "Azure Synapse Analytics";
    case 9:
        return "Azure SQL Edge";
    case 11:
        return "Azure Synapse serverless SQL pool";
    case 12:
        return "Microsoft Fabric";
    default:
        return "an edition Tallyvane does not know";
    }
}

} // namespace

TServerEdition EditionFromEngine(std::optional<std::int64_t> engineEdition, bool isNull,
                                 bool hasRdsAdmin) {
    const char* const watched = "Tallyvane watches SQL Server, Azure SQL Database, Azure SQL "
                                "Managed Instance and Amazon RDS for SQL Server.";
    if (isNull)
        throw Exception(std::string("The server did not say which edition it is "
                                    "(SERVERPROPERTY('EngineEdition') is NULL). ") +
                        watched);
    if (!engineEdition)
        return hasRdsAdmin ? TServerEdition::Rds : TServerEdition::SqlServer;
    const std::int64_t e = *engineEdition;
    if (e >= 1 && e <= 4)
        return hasRdsAdmin ? TServerEdition::Rds : TServerEdition::SqlServer;
    if (e == 5)
        return TServerEdition::AzureSqlDatabase;
    if (e == 8)
        return TServerEdition::AzureSqlManagedInstance;
    throw Exception("This server is " + std::string(EngineEditionName(e)) +
                    " (SERVERPROPERTY('EngineEdition') = " + std::to_string(e) +
                    "), which Tallyvane cannot watch. " + watched);
}

const char* EditionLabel(TServerEdition edition) {
    switch (edition) {
    case TServerEdition::AzureSqlDatabase:
        return "azure_sql_database";
    case TServerEdition::AzureSqlManagedInstance:
        return "azure_sql_managed_instance";
    case TServerEdition::Rds:
        return "rds";
    case TServerEdition::SqlServer:
        break;
    }
    return "sql_server";
}

const char* EditionCaption(TServerEdition edition) {
    switch (edition) {
    case TServerEdition::AzureSqlDatabase:
        return "Azure SQL Database";
    case TServerEdition::AzureSqlManagedInstance:
        return "Azure SQL Managed Instance";
    case TServerEdition::Rds:
        return "Amazon RDS for SQL Server";
    case TServerEdition::SqlServer:
        break;
    }
    return "SQL Server";
}

std::string EditionText(TServerEdition edition, const std::string& version) {
    std::string text = EditionCaption(edition);
    if (!version.empty())
        text += " " + version;
    return text;
}

std::string SafeProductVersion(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (out.size() == 32)
            break;
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
            c == '.' || c == '-')
            out += c;
    }
    return out;
}
