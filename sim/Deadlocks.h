// Deadlocks as the server records them: the xml_deadlock_report of each, kept in the
// system_health session's ring buffer (oldest dropped first), from the scenario's timeline or
// the control port. A client connection chosen as victim gets Msg 1205 for its next batch.
#pragma once

#include "Scenario.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <string_view>

namespace tdssim {

class ServerState;
using Clock = std::chrono::steady_clock;

struct DeadlockEvent {
    std::int64_t timeMs = 0;  // UTC, ms since 1970; increasing within a ring but for ahead=
    std::string report;       // the <deadlock> element, without its filler
    std::uint64_t filler = 0; // characters of filler ('x') the report holds at fillerAt
    std::size_t fillerAt = 0; // a byte offset in report

    // LEFT(report, units): the first UTF-16 code units, never half a character.
    std::string left(std::size_t units) const;
    // DATALENGTH(report) of the nvarchar(max) text: two bytes a UTF-16 code unit.
    std::uint64_t dataLength() const;
};

bool knownDeadlockResource(std::string_view kind);

// "2026-12-11T02:00:01.250", as convert(varchar(30), datetime2(3), 126) writes it.
std::string deadlockTimestamp(std::int64_t ms);
// "2026-12-11T02:00:01.250Z" (any case; fraction and Z optional) as ms since 1970.
bool parseDeadlockTimestamp(std::string_view text, std::int64_t& ms);

class DeadlockRing {
public:
    // start: the instance's start on the steady clock, which the wall clock reads now.
    DeadlockRing(std::size_t capacity, Clock::time_point start)
        : capacity_(capacity), start_(start), wallStart_(std::chrono::system_clock::now()) {}

    // Records the scenario's deadlocks whose moment came since the last call. elapsed: the
    // scenario clock in seconds, not wrapped by the period (it may jump when the clock is set).
    void advance(const ServerState& state, double elapsed, Clock::time_point now);
    // Records one deadlock now (control port).
    void add(const ServerState& state, const DeadlockDef& deadlock, Clock::time_point now);

    const std::deque<DeadlockEvent>& events() const { return events_; }
    std::uint64_t total() const { return total_; }
    // True once for a client session chosen as victim since its last batch.
    bool takeVictim(int spid) { return victims_.erase(spid) != 0; }

private:
    void record(const ServerState& state, const DeadlockDef& deadlock, Clock::time_point when);

    std::size_t capacity_;
    Clock::time_point start_;
    std::chrono::system_clock::time_point wallStart_;
    std::deque<DeadlockEvent> events_;
    std::uint64_t total_ = 0;
    std::int64_t lastMs_ = 0;
    double lastElapsed_ = -1e-9; // so that a deadlock at second 0 happens at the start
    std::set<int> victims_;
};

// The <deadlock> element of one deadlock at that moment, as SQL Server writes it: victim
// list, one process per session (its login, host, program, database and input buffer from
// the session), one resource per waiter held by the next session of the circle.
std::string deadlockReportXml(const ServerState& state, const DeadlockDef& deadlock,
                              std::int64_t timeMs, std::uint64_t serial);

} // namespace tdssim
