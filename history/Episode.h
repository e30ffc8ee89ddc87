// A blocking episode of one server: one head blocker (a session that blocks others and is not
// blocked itself) from the refresh at which one of its blocked sessions had waited the warning
// threshold until the refresh at which it no longer blocks anyone.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

// A session is known by its SPID together with login, host and program, so that a SPID that
// the server hands to a new connection is a new session.
struct TSessionKey {
    std::int32_t Spid = 0;
    std::string LoginName;
    std::string HostName;
    std::string ProgramName;

    bool operator==(const TSessionKey&) const = default;
};

// One session that was blocked during the episode, directly or behind another blocked session.
struct TEpisodeSession {
    TSessionKey Key;
    std::string DBName;
    std::string LastWaitType; // as last seen while blocked
    std::string WaitResource;
    std::int32_t BlockedBy = 0;   // SPID that blocked it directly, as last seen
    std::int32_t LongestWait = 0; // milliseconds
    // Milliseconds spent blocked in this episode: every wait that ended plus the current one.
    std::int64_t TotalWait = 0;
};

enum class TEpisodeEnd : std::uint8_t {
    Open,    // still going on at the last refresh
    Ended,   // the head blocker no longer blocks anyone
    Unknown, // the server stopped answering while it was going on
};

struct TEpisode {
    std::uint64_t Id = 0; // numbered by the detector from 1, unique within one detector
    std::string Server;
    // Milliseconds since 1970 (UTC). Start is the refresh that found the episode less the
    // longest wait then, i.e. when the blocking began; End is the last refresh that still saw
    // the head blocker blocking, so End - Start never exceeds what was seen.
    std::int64_t Start = 0;
    std::int64_t End = 0;
    TEpisodeEnd EndKind = TEpisodeEnd::Open;
    std::int32_t PeakWait = 0;         // longest wait of any blocked session, milliseconds
    std::int32_t PeakBlocked = 0;      // most sessions blocked at one refresh
    std::int64_t TotalBlockedWait = 0; // sum of the sessions' TotalWait
    // The head blocker as last seen.
    TSessionKey Head;
    std::string HeadDBName;
    std::string HeadStatus;
    std::int32_t HeadOpenTran = 0;
    std::vector<TEpisodeSession> Sessions; // in the order they were first seen blocked

    // Saturates instead of overflowing: damaged stored times can be anything.
    std::int64_t Duration() const {
        std::int64_t d = 0;
        if (__builtin_sub_overflow(End, Start, &d))
            return End < Start ? std::numeric_limits<std::int64_t>::min()
                               : std::numeric_limits<std::int64_t>::max();
        return d;
    }
};
