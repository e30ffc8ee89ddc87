#include "BlockingAnalysis.h"

#include "ProcessList.h"

#include <algorithm>
#include <bit>

namespace {

bool BlockedByOther(const TProcessItem& row) {
    return row.Blocked != 0 && row.Blocked != row.Spid;
}

std::size_t SlotOf(std::int32_t spid, std::int32_t shift) {
    return (static_cast<std::uint32_t>(spid) * 0x9E3779B1u) >> shift;
}

} // namespace

std::int32_t TBlockingSession::RawWait() const {
    return WaitRow ? WaitRow->WaitTime : 0;
}

std::int32_t TBlockingSession::Wait() const {
    return std::max(RawWait(), 0);
}

TBlockingAnalysis::TBlockingAnalysis() = default;
TBlockingAnalysis::~TBlockingAnalysis() = default;

std::int32_t TBlockingAnalysis::Find(std::int32_t spid) const {
    if (Slots_.empty())
        return -1;
    const std::size_t mask = Slots_.size() - 1;
    for (std::size_t at = SlotOf(spid, SlotShift_);; at = (at + 1) & mask) {
        const std::int32_t s = Slots_[at];
        if (s < 0 || Sessions_[static_cast<std::size_t>(s)].Spid == spid)
            return s;
    }
}

const TBlockingChain* TBlockingAnalysis::HeadChain(std::int32_t session) const {
    const std::int32_t h = HeadOf_[static_cast<std::size_t>(session)];
    return h < 0 ? nullptr : &Heads_[static_cast<std::size_t>(h)];
}

void TBlockingAnalysis::Analyze(const TProcessList& list) {
    Version_ = list.Version();
    Sessions_.clear();
    Heads_.clear();
    Members_.clear();
    Cycles_.clear();
    CycleMembers_.clear();
    BlockedSessions_ = 0;
    BlockedFromOutside_ = 0;
    TotalWait_ = 0;
    LongestWaiter_ = -1;
    ReadRows(list);
    FindBlockers();
    LinkKids();
    FollowChains();
    FindCycles();
}

// The rows in pre-order, each with its session; a SPID seen for the first time opens one.
void TBlockingAnalysis::ReadRows(const TProcessList& list) {
    Rows_.clear();
    RowStack_.clear();
    for (std::int32_t i = list.Count(); i-- > 0;)
        RowStack_.push_back(list.Item(i));
    while (!RowStack_.empty()) {
        const TProcessItem* row = RowStack_.back();
        RowStack_.pop_back();
        Rows_.push_back(row);
        for (auto c = row->Children.rbegin(); c != row->Children.rend(); ++c)
            RowStack_.push_back(c->get());
    }

    // Twice as many slots as rows, at least 16, a power of two.
    const std::size_t slots = std::bit_ceil(std::max<std::size_t>(16, Rows_.size() * 2));
    Slots_.assign(slots, -1);
    SlotShift_ = 32 - std::countr_zero(slots);
    const std::size_t mask = slots - 1;
    RowSession_.resize(Rows_.size());
    for (std::size_t r = 0; r < Rows_.size(); ++r) {
        const TProcessItem& row = *Rows_[r];
        std::size_t at = SlotOf(row.Spid, SlotShift_);
        while (Slots_[at] >= 0 && Sessions_[static_cast<std::size_t>(Slots_[at])].Spid != row.Spid)
            at = (at + 1) & mask;
        if (Slots_[at] < 0) {
            Slots_[at] = static_cast<std::int32_t>(Sessions_.size());
            TBlockingSession& session = Sessions_.emplace_back();
            session.Spid = row.Spid;
            session.FirstRow = &row;
        }
        RowSession_[r] = Slots_[at];
    }
}

// Each session's longest blocked row, and its blocker among the sessions.
void TBlockingAnalysis::FindBlockers() {
    for (std::size_t r = 0; r < Rows_.size(); ++r) {
        const TProcessItem& row = *Rows_[r];
        if (!BlockedByOther(row))
            continue;
        const std::int32_t s = RowSession_[r];
        TBlockingSession& session = Sessions_[static_cast<std::size_t>(s)];
        if (!session.WaitRow || row.WaitTime > session.WaitRow->WaitTime)
            session.WaitRow = &row;
        if (row.Blocked < 0)
            continue;
        const std::int32_t blocker = Find(row.Blocked);
        if (blocker < 0)
            continue;
        if (!session.BlockedRow || row.WaitTime > session.BlockedRow->WaitTime) {
            session.BlockedRow = &row;
            session.BlockedBy = blocker;
        }
    }
    for (std::size_t s = 0; s < Sessions_.size(); ++s) {
        const TBlockingSession& session = Sessions_[s];
        if (!session.Blocked())
            continue;
        ++BlockedSessions_;
        BlockedFromOutside_ += session.BlockedBy < 0;
        TotalWait_ += session.Wait();
        if (LongestWaiter_ < 0 ||
            session.Wait() > Sessions_[static_cast<std::size_t>(LongestWaiter_)].Wait())
            LongestWaiter_ = static_cast<std::int32_t>(s);
    }
}

// The sessions each one blocks, in the pre-order of the rows that wait for it.
void TBlockingAnalysis::LinkKids() {
    const std::size_t n = Sessions_.size();
    KidBegin_.assign(n + 1, 0);
    for (const TBlockingSession& session : Sessions_)
        if (session.BlockedBy >= 0)
            ++Sessions_[static_cast<std::size_t>(session.BlockedBy)].Blocks;
    for (std::size_t s = 0; s < n; ++s)
        KidBegin_[s + 1] = KidBegin_[s] + Sessions_[s].Blocks;
    Kids_.resize(static_cast<std::size_t>(KidBegin_[n]));
    // KidBegin_ counts up as kids are placed and is put back afterwards.
    for (std::size_t r = 0; r < Rows_.size(); ++r) {
        const auto s = static_cast<std::size_t>(RowSession_[r]);
        const TBlockingSession& session = Sessions_[s];
        if (session.BlockedRow == Rows_[r])
            Kids_[static_cast<std::size_t>(
                KidBegin_[static_cast<std::size_t>(session.BlockedBy)]++)] =
                static_cast<std::int32_t>(s);
    }
    for (std::size_t s = n; s-- > 0;)
        KidBegin_[s + 1] = KidBegin_[s];
    KidBegin_[0] = 0;
}

void TBlockingAnalysis::Behind(std::int32_t session, std::vector<std::int32_t>& out) const {
    out.clear();
    Stack_.clear();
    const auto push = [&](std::int32_t s) {
        const auto begin = KidBegin_[static_cast<std::size_t>(s)];
        for (std::int32_t k = KidBegin_[static_cast<std::size_t>(s) + 1]; k-- > begin;)
            if (Kids_[static_cast<std::size_t>(k)] != session) // round a cycle: stop
                Stack_.push_back(Kids_[static_cast<std::size_t>(k)]);
    };
    push(session);
    while (!Stack_.empty()) {
        const std::int32_t s = Stack_.back();
        Stack_.pop_back();
        out.push_back(s);
        push(s);
    }
}

void TBlockingAnalysis::FollowChains() {
    HeadOf_.assign(Sessions_.size(), -1);
    for (std::size_t s = 0; s < Sessions_.size(); ++s) {
        TBlockingSession& head = Sessions_[s];
        if (head.BlockedBy >= 0 || head.Blocks == 0)
            continue;
        const auto h = static_cast<std::int32_t>(Heads_.size());
        HeadOf_[s] = h;
        TBlockingChain chain;
        chain.Session = static_cast<std::int32_t>(s);
        chain.Begin = static_cast<std::int32_t>(Members_.size());
        Stack_.clear();
        Stack_.push_back(chain.Session);
        while (!Stack_.empty()) {
            const std::int32_t m = Stack_.back();
            Stack_.pop_back();
            if (m != chain.Session) {
                TBlockingSession& member = Sessions_[static_cast<std::size_t>(m)];
                member.Head = h;
                Members_.push_back(m);
                chain.LongestWait = std::max(chain.LongestWait, member.Wait());
                chain.TotalWait += member.Wait();
            }
            const auto begin = KidBegin_[static_cast<std::size_t>(m)];
            for (std::int32_t k = KidBegin_[static_cast<std::size_t>(m) + 1]; k-- > begin;)
                Stack_.push_back(Kids_[static_cast<std::size_t>(k)]);
        }
        chain.End = static_cast<std::int32_t>(Members_.size());
        chain.Blocked = chain.End - chain.Begin;
        head.Head = -1;
        Heads_.push_back(chain);
    }
}

// What is left blocked by a session and in no chain leads, blocker by blocker, into a circle.
void TBlockingAnalysis::FindCycles() {
    for (std::size_t start = 0; start < Sessions_.size(); ++start) {
        if (Sessions_[start].BlockedBy < 0 || Sessions_[start].Head >= 0 ||
            Sessions_[start].Cycle >= 0)
            continue;
        // Walk up, marking the path with -2, until a known session or the path itself.
        auto s = static_cast<std::int32_t>(start);
        while (Sessions_[static_cast<std::size_t>(s)].Cycle == -1) {
            Sessions_[static_cast<std::size_t>(s)].Cycle = -2;
            s = Sessions_[static_cast<std::size_t>(s)].BlockedBy;
        }
        std::int32_t cycle = Sessions_[static_cast<std::size_t>(s)].Cycle;
        if (cycle == -2) { // back on the path: s is in a new circle
            cycle = static_cast<std::int32_t>(Cycles_.size());
            TBlockingCycle& found = Cycles_.emplace_back();
            found.Begin = static_cast<std::int32_t>(CycleMembers_.size());
            std::int32_t m = s;
            do {
                CycleMembers_.push_back(m);
                Sessions_[static_cast<std::size_t>(m)].Cycle = cycle;
                m = Sessions_[static_cast<std::size_t>(m)].BlockedBy;
            } while (m != s);
            found.End = static_cast<std::int32_t>(CycleMembers_.size());
            std::sort(CycleMembers_.begin() + found.Begin, CycleMembers_.end());
        }
        // The rest of the path stands behind that circle.
        for (s = static_cast<std::int32_t>(start);
             Sessions_[static_cast<std::size_t>(s)].Cycle == -2;
             s = Sessions_[static_cast<std::size_t>(s)].BlockedBy) {
            Sessions_[static_cast<std::size_t>(s)].Cycle = cycle;
            ++Cycles_[static_cast<std::size_t>(cycle)].Behind;
        }
    }
}
