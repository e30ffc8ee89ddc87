// Where one session stands in a snapshot's blocking, copied out of the analysis so that it
// outlives the snapshot (a dialog keeps it while refreshes replace the list): who blocks it,
// whom it holds up, and whether it heads a chain. Counts and waits are the analysis's own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TBlockingAnalysis;

// A session as the snapshot's first row of it shows it.
struct TSessionFacts {
    std::int32_t Spid = 0;
    std::string Login, Host, Program, Status;
    std::int32_t OpenTran = 0;
};

struct TSessionBlocking {
    bool Found = false; // the SPID is in the snapshot; nothing below holds otherwise
    TSessionFacts Session;

    // Blocked: waits for another SPID. BlockerSpid is the SPID its longest blocked row waits
    // for; BlockerKnown when that SPID is a session of the snapshot (then Blocker describes
    // it), otherwise the wait comes from outside (a negative SPID, or one that is not listed).
    bool Blocked = false;
    std::int32_t Wait = 0; // milliseconds, of its longest blocked row
    std::int32_t BlockerSpid = 0;
    bool BlockerKnown = false;
    TSessionFacts Blocker;
    // The head of the chain it stands in, when that is not its direct blocker.
    bool HeadKnown = false;
    TSessionFacts Head;
    // The SPIDs of the blocking cycle it stands in or behind, empty when none.
    std::vector<std::int32_t> Cycle;

    // Heads a chain: blocks others and no session blocks it.
    bool IsHead = false;
    std::int32_t BlocksDirectly = 0;
    std::int32_t BlocksInAll = 0;    // directly or behind others
    std::int64_t BlockedWait = 0;    // milliseconds, summed over those sessions
    std::int32_t LongestBlocked = 0; // milliseconds, the longest of those waits
    // The SPIDs of the sessions it holds up, directly or behind others, in pre-order.
    std::vector<std::int32_t> BlockedSpids;
};

// Nothing found when the SPID is not in the analysed snapshot.
TSessionBlocking DescribeBlocking(const TBlockingAnalysis& analysis, std::int32_t spid);
