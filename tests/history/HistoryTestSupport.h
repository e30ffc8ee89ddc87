// Episodes made to measure for the history tests, and a look into the file.
#pragma once

#include "Episode.h"
#include "HistorySchema.h"
#include "KillRecord.h"

#include <cstdio>
#include <string>

// What the sqlite3 shell prints for the statements, without the last line break.
inline std::string Sqlite(const std::string& file, const std::string& sql) {
    const std::string command = "sqlite3 '" + file + "' \"" + sql + "\" 2>&1";
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
            out += buffer;
        ::pclose(pipe);
    }
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

// A file as an older version of the program left it: its schema up to version, with one ended
// episode of PROD (1000 to 5000 ms, one blocked session) and its statement.
inline std::string MakeOlderFile(const std::string& file, int version) {
    std::string sql;
    for (const char* statement : BaseSchema)
        sql += std::string(statement) + ";";
    for (const THistorySchemaStep& step : SchemaSteps)
        if (step.Version <= version)
            for (const char* statement : step.Statements)
                sql += std::string(statement) + ";";
    sql += "INSERT INTO episode VALUES (7, 'PROD', 1000, 5000, 1, 4000, 1, 4000, 51, 'payroll',"
           " 'APP-SRV-01', 'Payroll Service', 'Sales', 'sleeping', 1,"
           " 'UPDATE t SET a = 5 WHERE id = 12');"
           "INSERT INTO blocked_session VALUES (7, 0, 60, 'web', 'WEB-01', 'Shop', 'Sales',"
           " 'LCK_M_U', 'KEY: 5:72057594043301888 (8194443284a0)', 51, 4000, 4000);";
    sql += "PRAGMA user_version=" + std::to_string(version) + ";";
    return Sqlite(file, sql);
}

inline TEpisode MakeEpisode(const std::string& server, std::int64_t start, std::int64_t end,
                            int blocked = 1, TEpisodeEnd kind = TEpisodeEnd::Ended) {
    TEpisode e;
    e.Server = server;
    e.Start = start;
    e.End = end;
    e.EndKind = kind;
    e.PeakWait = static_cast<std::int32_t>(end - start);
    e.PeakBlocked = blocked;
    e.Head = {51, "payroll", "APP-SRV-01", "Payroll Service"};
    e.HeadDBName = "Sales";
    e.HeadStatus = "sleeping";
    e.HeadOpenTran = 1;
    for (int i = 0; i < blocked; ++i) {
        TEpisodeSession s;
        s.Key = {60 + i, "web", "WEB-0" + std::to_string(i), "Shop ü"};
        s.DBName = "Sales";
        s.LastWaitType = "LCK_M_U";
        s.WaitResource = "KEY: 5:72057594043301888 (8194443284a0)";
        s.BlockedBy = i == 0 ? 51 : 60 + i - 1;
        s.LongestWait = e.PeakWait - i;
        s.TotalWait = s.LongestWait;
        e.TotalBlockedWait += s.TotalWait;
        e.Sessions.push_back(s);
    }
    return e;
}

inline TKillRecord MakeKill(const std::string& server, std::int64_t time, std::int32_t spid = 51) {
    TKillRecord k;
    k.Server = server;
    k.Time = time;
    k.Spid = spid;
    k.Login = "payroll";
    k.Host = "APP-SRV-01";
    k.Program = "Payroll Service";
    k.Statement = "BEGIN TRAN\r\nUPDATE dbo.Salaries SET Amount = Amount * 1.02";
    k.KilledBy = "dba";
    k.OpenTran = 1;
    k.BlockedCount = 3;
    return k;
}
