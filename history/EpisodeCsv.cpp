#include "EpisodeCsv.h"

#include "SpreadsheetText.h"

#include <ctime>

namespace {

const char* const Header =
    "server,start,end,duration_ms,ended_as,peak_wait_ms,peak_blocked,total_blocked_wait_ms,"
    "head_spid,head_login,head_host,head_program,head_database,head_status,head_open_tran,"
    "head_statement,spid,login,host,program,database,wait_type,wait_resource,longest_wait_ms,"
    "total_wait_ms,blocked_by\r\n";

const char* EndText(TEpisodeEnd end) {
    switch (end) {
    case TEpisodeEnd::Open:
        return "ongoing";
    case TEpisodeEnd::Ended:
        return "ended";
    case TEpisodeEnd::Unknown:
        return "unknown";
    }
    return "";
}

} // namespace

std::string CsvText(const std::string& text) {
    const std::string field = SpreadsheetText(text);
    if (field.find_first_of(",\"\r\n") == std::string::npos)
        return field;
    std::string quoted = "\"";
    for (char c : field) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

std::string LocalTimeText(std::int64_t ms) {
    // Floor division that cannot overflow, also for a damaged extreme value.
    const std::int64_t rest = ms % 1000;
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000 - (rest < 0 ? 1 : 0));
    const int millis = static_cast<int>(rest < 0 ? rest + 1000 : rest);
    std::tm local{};
#ifdef _WIN32
    if (localtime_s(&local, &seconds) != 0)
        return std::to_string(ms);
    std::tm asUtc = local;
    const long offset = static_cast<long>((_mkgmtime(&asUtc) - seconds) / 60);
#else
    if (!localtime_r(&seconds, &local))
        return std::to_string(ms); // beyond any calendar year: the number as it is stored
    const long offset = local.tm_gmtoff / 60; // minutes east of UTC
#endif
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    char tail[32];
    std::snprintf(tail, sizeof tail, ".%03d%c%02ld:%02ld", millis, offset < 0 ? '-' : '+',
                  (offset < 0 ? -offset : offset) / 60, (offset < 0 ? -offset : offset) % 60);
    return std::string(text) + tail;
}

std::string EpisodesCsv(const std::vector<TStoredEpisode>& episodes, const TSessionsOf& sessions) {
    std::string csv = Header;
    for (const TStoredEpisode& stored : episodes) {
        const TEpisode& e = stored.Episode;
        const std::string episode =
            CsvText(e.Server) + "," + LocalTimeText(e.Start) + "," + LocalTimeText(e.End) + "," +
            std::to_string(e.Duration()) + "," + EndText(e.EndKind) + "," +
            std::to_string(e.PeakWait) + "," + std::to_string(e.PeakBlocked) + "," +
            std::to_string(e.TotalBlockedWait) + "," + std::to_string(e.Head.Spid) + "," +
            CsvText(e.Head.LoginName) + "," + CsvText(e.Head.HostName) + "," +
            CsvText(e.Head.ProgramName) + "," + CsvText(e.HeadDBName) + "," +
            CsvText(e.HeadStatus) + "," + std::to_string(e.HeadOpenTran) + "," +
            CsvText(stored.Statement.value_or(std::string()));
        const std::vector<TEpisodeSession> blocked = sessions(static_cast<std::int64_t>(e.Id));
        if (blocked.empty())
            csv += episode + ",,,,,,,,,,\r\n";
        for (const TEpisodeSession& s : blocked) {
            csv += episode + "," + std::to_string(s.Key.Spid) + "," + CsvText(s.Key.LoginName) +
                   "," + CsvText(s.Key.HostName) + "," + CsvText(s.Key.ProgramName) + "," +
                   CsvText(s.DBName) + "," + CsvText(s.LastWaitType) + "," +
                   CsvText(s.WaitResource) + "," + std::to_string(s.LongestWait) + "," +
                   std::to_string(s.TotalWait) + "," + std::to_string(s.BlockedBy) + "\r\n";
        }
    }
    return csv;
}
