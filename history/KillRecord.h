// A kill that the user confirmed in the process info dialog, as the history keeps it: who was
// killed, what it was doing and holding up, who killed it, and whether the server did it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct TKillRecord {
    std::string Server;
    std::int64_t Time = 0; // milliseconds since 1970 (UTC)
    std::int32_t Spid = 0;
    std::string Login, Host, Program;
    std::optional<std::string> Statement; // its last command as shown; nothing when not read
    std::string KilledBy;                 // the local user who confirmed it
    std::int32_t OpenTran = 0;
    std::int32_t BlockedCount = 0; // sessions it held up, directly or behind others
    std::string Outcome;           // empty: killed; otherwise why nothing was killed

    bool operator==(const TKillRecord&) const = default;
};

// The name of the user this program runs as, for KilledBy; "uid N" when the system has no
// name for it.
std::string LocalUserName();
