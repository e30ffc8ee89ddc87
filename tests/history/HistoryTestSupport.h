// Episodes made to measure for the history tests, and a look into the file.
#pragma once

#include "Episode.h"

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
