// How long a head blocker has been idle and its transaction open: two short reads that the
// process info dialog runs for one session, never a refresh. Both answers carry the server's
// own clock beside the time asked for, so the age never depends on how this machine's clock
// stands against the server's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What one of the reads found: Found when the server gave a row; AgeMs from the time in it to
// the server's time, nothing when the time is NULL, the zero date or not a time (Time is
// then empty too).
struct TAgeRead {
    bool Found = false;
    std::string Time; // as the server gave it
    std::optional<std::int64_t> AgeMs;
};

// One row: last_batch and the server's time, each as convert(varchar(23), x, 121).
std::string LastBatchQuery(std::int32_t spid);
// One row: the begin time of the session's oldest open transaction (NULL when it has none,
// or none the login may see) and the server's time.
std::string TransactionAgeQuery(std::int32_t spid);

// Milliseconds from `from` to `to`, both "yyyy-mm-dd hh:mi:ss" with up to three digits of
// fraction; nothing when either is not such a time.
std::optional<std::int64_t> MillisecondsBetween(std::string_view from, std::string_view to);

// An age from two server times: nothing when a time is missing or does not parse, or when
// `from` lies in the future (a rounding of at most a second counts as now).
std::optional<std::int64_t> AgeBetween(std::string_view from, std::string_view now);
