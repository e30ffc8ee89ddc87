// Reading the deadlock reports that a server keeps in its system_health session's ring buffer:
// the statements, and the cursor that makes each report come out once.
//
// The ring buffer is shredded on the server: only xml_deadlock_report events at or after the
// cursor's time come back, one row each (its timestamp, its <deadlock> element), oldest first,
// at most kDeadlockReadRows per read. Reports at exactly the cursor's time are told apart by
// their text, so a report is never taken twice and two reports of one millisecond both are.
//
// Each row brings at most kDeadlockReportChars of its report, with the report's whole size and
// the server's clock: a longer report never crosses the wire whole. A report dated more than
// kDeadlockClockSlackMs ahead of that clock (a clock that was wrong once) is taken once but
// does not move the cursor, which would otherwise wait for that time before reading again.
#pragma once

#include "DeadlockReport.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

// Rows one read may bring; a full read is followed by the next at once.
inline constexpr std::size_t kDeadlockReadRows = 100;
// Characters (UTF-16 units, as the server counts them) of one report a read brings at most.
inline constexpr std::size_t kDeadlockReportChars = 1024 * 1024;
// How far ahead of the server's clock a report's time may lie and still move the cursor.
inline constexpr std::int64_t kDeadlockClockSlackMs = 60'000;

// The server's clock (UTC), one row, one column: where a cursor without a time starts.
extern const char* const DeadlockClockQueryText;

// The read of every report at or after sinceMs (milliseconds since 1970, UTC). Its columns:
// the report's time, its first kDeadlockReportChars characters, its whole size in bytes
// (two a character) and the server's clock.
std::string DeadlockReadQuery(std::int64_t sinceMs);

// "2026-12-11T02:00:01.250Z"
std::string DeadlockTimestampText(std::int64_t ms);

// What one read gave.
struct TDeadlockTake {
    std::vector<TDeadlockReport> Fresh;     // the reports not taken before, in the order given
    std::vector<std::int64_t> AheadOfClock; // the times of those among them dated ahead
    bool ReadOn = false; // a full read that got somewhere: the next read follows at once
};

class TDeadlockCursor {
public:
    // Whether a time is known; until then a read only learns the server's clock.
    bool Known() const { return Known_; }
    std::int64_t Since() const { return Since_; }
    // Everything up to and including ms is known (the newest report in a history, say). Before
    // the server's clock is known this waits for it (StartAt), and several times may be given;
    // a time before the cursor's changes nothing, nor does one too far ahead of the clock.
    void SetKnownUpTo(std::int64_t ms);
    // The server's clock: reports from then on are new, or from just after the newest time
    // given to SetKnownUpTo that is not ahead of the clock by more than kDeadlockClockSlackMs.
    // A time further ahead only says that reports ahead up to it are known. False when such a
    // time was given (*ignored: the newest of them).
    bool StartAt(std::int64_t clockMs, std::int64_t* ignored = nullptr);
    // Takes reports from ms before where it stands as new too (a first start's look back).
    void ReachBack(std::int64_t ms) {
        if (ms > 0)
            Since_ -= ms;
    }
    // The reports of one read that are new; the cursor moves past those that are not dated
    // ahead of the server's clock. fullRead: the read brought kDeadlockReadRows rows.
    TDeadlockTake Take(std::vector<TDeadlockReport> reports, bool fullRead, std::int64_t clockMs);
    // True the first time a report (its time and text) is shown to it; for saying something
    // about a report once, however many reads bring it.
    bool FirstSight(std::int64_t time, const std::string& text);
    // The memory it holds, itself included.
    std::size_t HeldBytes() const;

private:
    using TKey = std::pair<std::int64_t, std::size_t>; // a report's time and its text's hash
    // Reports that reads bring again while they lie ahead of the cursor; past this many the
    // oldest are forgotten.
    static constexpr std::size_t MaxKept = 10000;
    void ForgetBehind();

    bool Known_ = false;
    std::int64_t Since_ = 0;
    std::set<std::int64_t> PendingKnownUpTo_; // SetKnownUpTo before the clock was known
    std::int64_t KnownAheadUpTo_ = -1; // one that lay ahead: reports ahead up to it are known
    std::int64_t Clock_ = 0;           // the server's clock as the last read told it
    std::set<std::string> SeenAtSince; // texts of the reports taken at exactly Since_
    std::set<TKey> TakenAhead;         // at or after Since_: taken while dated ahead
    std::set<TKey> Sighted;            // at or after Since_: given to FirstSight
};
