// One refresh of an open blocking episode, as the replay shows it again: when it was, the head
// blocker's status and open transactions, and per blocked session whom it waited for, how long
// and on what. Sessions are named by their ordinal in the episode's blocked sessions, so a frame
// repeats no login, host or program.
//
// A frame is stored as one row with a compact blob (FrameBytes): the strings of one frame (wait
// types and resources, mostly the same few) are kept once per frame, numbers as varints. Every
// frame decodes on its own, so a frame that is damaged or missing costs that frame alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TFrameSession {
    std::int32_t Ordinal = 0;   // index in the episode's Sessions
    std::int32_t Spid = 0;      // as then, for a frame read without its episode's sessions
    std::int32_t BlockedBy = 0; // SPID it waited for
    std::int32_t Wait = 0;      // milliseconds
    std::string WaitType;
    std::string WaitResource;

    bool operator==(const TFrameSession&) const = default;
};

struct TEpisodeFrame {
    std::int64_t At = 0; // milliseconds since 1970, UTC
    std::string HeadStatus;
    std::int32_t HeadOpenTran = 0;
    std::vector<TFrameSession> Sessions;

    // Figures the timeline reads without decoding the sessions.
    std::int32_t Blocked() const { return static_cast<std::int32_t>(Sessions.size()); }
    std::int64_t TotalWait() const;
    std::int32_t LongestWait() const;

    bool operator==(const TEpisodeFrame&) const = default;
};

// The sessions part of a frame as stored (At, the head's fields and the figures are columns).
std::string FrameBytes(const TEpisodeFrame& frame);
// Fills frame.Sessions from stored bytes; false when they are damaged (cut short, a length
// beyond the end, an index beyond the strings), leaving frame as it was.
bool ReadFrameBytes(std::string_view bytes, TEpisodeFrame& frame);
