#include "CausesCsv.h"

#include "EpisodeCsv.h"

const char* CauseKindName(TCauseKind kind) {
    switch (kind) {
    case TCauseKind::Login:
        return "Head login";
    case TCauseKind::Program:
        return "Program";
    case TCauseKind::Host:
        return "Host";
    case TCauseKind::Statement:
        return "Statement";
    case TCauseKind::Object:
        return "Object";
    }
    return "";
}

std::string CausesCsv(TCauseKind kind, const std::vector<TCause>& causes) {
    std::string csv = "rank,grouped_by,cause,episodes,total_blocked_wait_ms,longest_episode_ms,"
                      "last_seen\r\n";
    int rank = 0;
    for (const TCause& c : causes) {
        csv += std::to_string(++rank) + ',' + CsvText(CauseKindName(kind)) + ',' +
               (c.Key ? CsvText(*c.Key) : std::string()) + ',' + std::to_string(c.Episodes) + ',' +
               std::to_string(c.TotalWait) + ',' + std::to_string(c.Longest) + ',' +
               LocalTimeText(c.LastSeen) + "\r\n";
    }
    return csv;
}
