// One notice that leaves the desk: a blocking incident that began or cleared, or a deadlock,
// with what a DBA on call needs to act on it. Texts that came from the server (login, host,
// program, statement) are untrusted; the payload builders clean and bound them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TNotice {
    std::string Event;  // "blocking", "cleared" or "deadlock"
    std::string Server; // the server's display name
    std::optional<std::int32_t> HeadSpid;
    std::string Login, Host, Program, Statement;
    std::optional<std::int32_t> Blocked; // sessions blocked, the head not counted
    std::optional<std::int64_t> LongestWaitMs, SummedWaitMs;
    std::int64_t TimeMs = 0; // milliseconds since 1970, UTC
    // Deadlocks: the victim and the sessions that went on.
    std::optional<std::int32_t> VictimSpid;
    std::vector<std::int32_t> Survivors;
};

// The webhook's body shapes.
enum class TWebhookFormat { Json, Slack, Teams };
// "json", "slack" or "teams" (any case); nothing for anything else.
std::optional<TWebhookFormat> WebhookFormatFromName(const std::string& name);
