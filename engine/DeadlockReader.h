// Reading the deadlock reports that a server keeps in its system_health session's ring buffer:
// the statements, and the cursor that makes each report come out once.
//
// The ring buffer is shredded on the server: only xml_deadlock_report events at or after the
// cursor's time come back, one row each (its timestamp, its <deadlock> element), oldest first,
// at most kDeadlockReadRows per read. Reports at exactly the cursor's time are told apart by
// their text, so a report is never taken twice and two reports of one millisecond both are.
#pragma once

#include "DeadlockReport.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

// Rows one read may bring; a full read is followed by the next at once.
inline constexpr std::size_t kDeadlockReadRows = 100;

// The server's clock (UTC), one row, one column: where a cursor without a time starts.
extern const char* const DeadlockClockQueryText;

// The read of every report at or after sinceMs (milliseconds since 1970, UTC).
std::string DeadlockReadQuery(std::int64_t sinceMs);

// "2026-12-11T02:00:01.250Z"
std::string DeadlockTimestampText(std::int64_t ms);

class TDeadlockCursor {
public:
    // Whether a time is known; until then a read only learns the server's clock.
    bool Known() const { return Known_; }
    std::int64_t Since() const { return Since_; }
    // Everything up to and including ms is known (the newest report in a history, say); a
    // time before the cursor's changes nothing.
    void SetKnownUpTo(std::int64_t ms);
    // Starts at the server's clock: reports from then on are new.
    void StartAt(std::int64_t ms);
    // The reports of one read that are new, in the order given; the cursor moves past them.
    // fullRead: the read brought kDeadlockReadRows rows.
    std::vector<TDeadlockReport> Take(std::vector<TDeadlockReport> reports, bool fullRead);
    // The memory it holds, itself included.
    std::size_t HeldBytes() const;

private:
    bool Known_ = false;
    std::int64_t Since_ = 0;
    std::set<std::string> SeenAtSince; // texts of the reports taken at exactly Since_
};
