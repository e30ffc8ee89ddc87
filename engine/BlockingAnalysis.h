// Who blocks whom in one snapshot, worked out once per refresh and read by the status line,
// the tooltips, the episode detector and the exporter, so that they all tell the same story.
//
// The rule.
// - A session is a SPID: the rows of a parallel query share one. SPID 0 is a session like any
//   other; it can wait, but nothing waits for it (blocked 0 means "not blocked").
// - A row is blocked when it waits for another SPID (blocked not 0 and not its own SPID). A row
//   that waits for its own SPID (a self-block, or a parallel query waiting for its own workers)
//   is not blocked.
// - A session is blocked when one of its rows is. Its wait is the longest wait among those
//   rows, never below 0 in the figures; its WaitRow is that row (ties: the first in pre-order).
// - A session is blocked by a session when one of its blocked rows waits for a positive SPID
//   that is in the snapshot. A session has one blocker: the one its longest such row waits for
//   (ties: the first in pre-order). A negative blocker, or one missing from the snapshot, is a
//   real wait but no session: the session is blocked "from outside".
// - A head blocker is a session that is not blocked by a session and blocks at least one
//   session. Its chain is every session whose blockers lead to it, in the process view's
//   order (pre-order of the arranged list). A head may itself be blocked from outside.
// - Sessions whose blockers go round in a circle form a cycle (a deadlock); the sessions whose
//   blockers lead into it stand behind it. A cycle has no head.
// So every blocked session stands in exactly one head's chain, in or behind exactly one cycle,
// or is blocked from outside with no session blocking it (then it may head a chain itself).
//
// One pass over the rows with a few reused buffers: analyse the next snapshot into the same
// object. The analysis points into the list; it stays valid until the list changes (Version).
#pragma once

#include <cstdint>
#include <vector>

class TProcessItem;
class TProcessList;

struct TBlockingSession {
    std::int32_t Spid = 0;
    const TProcessItem* FirstRow = nullptr;   // describes the session: its first row in pre-order
    const TProcessItem* WaitRow = nullptr;    // its longest blocked row; nullptr when not blocked
    const TProcessItem* BlockedRow = nullptr; // its longest row blocked by BlockedBy
    std::int32_t BlockedBy = -1;              // the blocking session's index, -1 for none
    std::int32_t Head = -1;                   // the chain it stands in (index into Heads)
    std::int32_t Cycle = -1;                  // the cycle it stands in or behind
    std::int32_t Blocks = 0;                  // sessions it blocks directly

    bool Blocked() const { return WaitRow != nullptr; }
    // Milliseconds, as the server gave it (may be below 0); 0 when not blocked.
    std::int32_t RawWait() const;
    // Milliseconds, never below 0.
    std::int32_t Wait() const;
};

// A head blocker and what it holds up.
struct TBlockingChain {
    std::int32_t Session = 0;        // the head
    std::int32_t Blocked = 0;        // sessions in the chain, the head not counted
    std::int32_t LongestWait = 0;    // milliseconds, among them
    std::int64_t TotalWait = 0;      // milliseconds, summed over them
    std::int32_t Begin = 0, End = 0; // the chain's sessions: Members()[Begin, End)
};

struct TBlockingCycle {
    std::int32_t Begin = 0, End = 0; // the sessions in the circle: CycleMembers()[Begin, End)
    std::int32_t Behind = 0;         // sessions whose blockers lead into it
};

class TBlockingAnalysis {
public:
    TBlockingAnalysis();
    ~TBlockingAnalysis();
    TBlockingAnalysis(const TBlockingAnalysis&) = delete;
    TBlockingAnalysis& operator=(const TBlockingAnalysis&) = delete;

    // Works the snapshot out; best after BuildBlockTree (the order follows the arranged list).
    void Analyze(const TProcessList& list);
    // The list's Version at Analyze; differs from it once the list has changed.
    std::uint64_t Version() const { return Version_; }

    // Sessions in the order of their first rows in pre-order.
    const std::vector<TBlockingSession>& Sessions() const { return Sessions_; }
    const TBlockingSession& Session(std::int32_t index) const {
        return Sessions_[static_cast<std::size_t>(index)];
    }
    // The session's index, or -1.
    std::int32_t Find(std::int32_t spid) const;

    // Head blockers in the order of their sessions.
    const std::vector<TBlockingChain>& Heads() const { return Heads_; }
    const std::vector<std::int32_t>& Members() const { return Members_; }
    const std::vector<TBlockingCycle>& Cycles() const { return Cycles_; }
    const std::vector<std::int32_t>& CycleMembers() const { return CycleMembers_; }
    // The chain a session heads, or nullptr.
    const TBlockingChain* HeadChain(std::int32_t session) const;

    // The sessions whose blockers lead to this one (it is not among them, even in a cycle), in
    // pre-order; out is replaced.
    void Behind(std::int32_t session, std::vector<std::int32_t>& out) const;

    // Figures of the whole snapshot.
    std::int32_t BlockedSessions() const { return BlockedSessions_; }
    std::int32_t BlockedFromOutside() const { return BlockedFromOutside_; }
    std::int64_t TotalWait() const { return TotalWait_; } // summed over blocked sessions
    // The blocked session with the longest wait (the first in order on a tie), or -1.
    std::int32_t LongestWaiter() const { return LongestWaiter_; }

private:
    void ReadRows(const TProcessList& list);
    void FindBlockers();
    void LinkKids();
    void FollowChains();
    void FindCycles();

    std::uint64_t Version_ = ~std::uint64_t{0};
    std::vector<TBlockingSession> Sessions_;
    std::vector<TBlockingChain> Heads_;
    std::vector<std::int32_t> Members_;
    std::vector<TBlockingCycle> Cycles_;
    std::vector<std::int32_t> CycleMembers_;
    std::vector<std::int32_t> HeadOf_;      // per session: its index in Heads_, or -1
    std::vector<std::int32_t> KidBegin_;    // per session: where its direct blocked start in Kids_
    std::vector<std::int32_t> Kids_;        // sessions by blocker, each in pre-order
    std::vector<std::int32_t> Slots_;       // SPID index: open addressing, session index or -1
    std::vector<const TProcessItem*> Rows_; // pre-order
    std::vector<std::int32_t> RowSession_;
    std::vector<const TProcessItem*> RowStack_;
    mutable std::vector<std::int32_t> Stack_;
    std::int32_t SlotShift_ = 0;
    std::int32_t BlockedSessions_ = 0;
    std::int32_t BlockedFromOutside_ = 0;
    std::int64_t TotalWait_ = 0;
    std::int32_t LongestWaiter_ = -1;
};
