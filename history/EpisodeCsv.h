// The export of episodes as CSV text (RFC 4180, UTF-8, CR LF): one row per blocked session,
// each with the columns of its episode. Times are local with their UTC offset
// ("2026-12-10T03:12:45.120+01:00"), durations and waits in milliseconds.
#pragma once

#include "HistoryStore.h"

#include <functional>
#include <string>
#include <vector>

// The blocked sessions of an episode, by its id.
using TSessionsOf = std::function<std::vector<TEpisodeSession>(std::int64_t episodeId)>;

std::string EpisodesCsv(const std::vector<TStoredEpisode>& episodes, const TSessionsOf& sessions);

// One field as CSV holds it: quoted when it contains a comma, a quote or a line break. The
// text first goes through SpreadsheetText: login, host and program names come from the
// clients.
std::string CsvText(const std::string& text);

// Milliseconds since 1970 as local time with the offset, to the millisecond; a value beyond
// the calendar's years as the plain number.
std::string LocalTimeText(std::int64_t ms);
