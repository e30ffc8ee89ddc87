#include "DeadlockReader.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <utility>

// The server's own clock: the ring buffer's timestamps are written by it.
const char* const DeadlockClockQueryText = "select convert(varchar(30), sysutcdatetime(), 126)";

std::string DeadlockTimestampText(std::int64_t ms) {
    using namespace std::chrono;
    const sys_days day = floor<days>(sys_time<milliseconds>(milliseconds(ms)));
    const year_month_day date(day);
    const std::int64_t inDay = ms - duration_cast<milliseconds>(day.time_since_epoch()).count();
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(inDay / 3'600'000),
                  static_cast<int>(inDay / 60'000 % 60), static_cast<int>(inDay / 1000 % 60),
                  static_cast<int>(inDay % 1000));
    return text;
}

// The SET line: xml methods fail (Msg 1934) under other settings of these options. The XQuery
// keeps the shredding on the server, so a ring buffer of megabytes is not shipped; the
// report's element comes back as text, each row on its own, cut on the server so that a
// report of any size brings no more than kDeadlockReportChars.
std::string DeadlockReadQuery(std::int64_t sinceMs) {
    return "set ansi_nulls, ansi_padding, ansi_warnings, arithabort, concat_null_yields_null, "
           "quoted_identifier on;\r\n"
           "select top (" +
           std::to_string(kDeadlockReadRows) +
           ") convert(varchar(30), e.x.value('(@timestamp)[1]', 'datetime2(3)'), 126), "
           "left(q.report, " +
           std::to_string(kDeadlockReportChars) +
           "), datalength(q.report), convert(varchar(30), sysutcdatetime(), 126)\r\n"
           "from (select convert(xml, t.target_data) as d from sys.dm_xe_session_targets t "
           "join sys.dm_xe_sessions s on s.address = t.event_session_address "
           "where s.name = N'system_health' and t.target_name = N'ring_buffer') as r\r\n"
           "cross apply r.d.nodes('/RingBufferTarget/event[@name=\"xml_deadlock_report\"]"
           "[xs:dateTime(@timestamp) >= xs:dateTime(\"" +
           DeadlockTimestampText(sinceMs) +
           "\")]') as e(x)\r\n"
           "cross apply (select convert(nvarchar(max), "
           "e.x.query('(data[@name=\"xml_report\"]/value/deadlock)[1]')) as report) as q\r\n"
           "order by e.x.value('(@timestamp)[1]', 'datetime2(3)')";
}

namespace {

std::size_t TextHash(const std::string& text) {
    return std::hash<std::string>()(text);
}

// Keeps the newest `limit` keys.
void Bound(std::set<std::pair<std::int64_t, std::size_t>>& keys, std::size_t limit) {
    while (keys.size() > limit)
        keys.erase(keys.begin());
}

} // namespace

void TDeadlockCursor::SetKnownUpTo(std::int64_t ms) {
    if (!Known_) {
        PendingKnownUpTo_.insert(ms);
        if (PendingKnownUpTo_.size() > 16)
            PendingKnownUpTo_.erase(PendingKnownUpTo_.begin());
        return;
    }
    if (ms < Since_ || ms > Clock_ + kDeadlockClockSlackMs)
        return;
    Since_ = ms + 1;
    SeenAtSince.clear();
    ForgetBehind();
}

bool TDeadlockCursor::StartAt(std::int64_t clockMs, std::int64_t* ignored) {
    Known_ = true;
    Clock_ = clockMs;
    Since_ = clockMs;
    SeenAtSince.clear();
    const std::set<std::int64_t> pending = std::exchange(PendingKnownUpTo_, {});
    const auto ahead = pending.upper_bound(clockMs + kDeadlockClockSlackMs);
    if (ahead != pending.begin())
        Since_ = *std::prev(ahead) + 1;
    if (ahead == pending.end())
        return true;
    KnownAheadUpTo_ = *pending.rbegin();
    if (ignored)
        *ignored = KnownAheadUpTo_;
    return false;
}

void TDeadlockCursor::ForgetBehind() {
    for (std::set<TKey>* keys : {&TakenAhead, &Sighted})
        keys->erase(keys->begin(), keys->lower_bound({Since_, 0}));
}

bool TDeadlockCursor::FirstSight(std::int64_t time, const std::string& text) {
    if (Known_ && time < Since_)
        return false; // behind the cursor: it was seen when the cursor passed it
    const bool first = Sighted.insert({time, TextHash(text)}).second;
    Bound(Sighted, MaxKept);
    return first;
}

std::size_t TDeadlockCursor::HeldBytes() const {
    std::size_t bytes = sizeof *this;
    for (const std::string& text : SeenAtSince)
        bytes += text.capacity() + 48; // a set node
    bytes += (TakenAhead.size() + Sighted.size()) * (sizeof(TKey) + 32);
    return bytes;
}

TDeadlockTake TDeadlockCursor::Take(std::vector<TDeadlockReport> reports, bool fullRead,
                                    std::int64_t clockMs) {
    TDeadlockTake take;
    Clock_ = clockMs;
    const std::int64_t before = Since_;
    bool behind = false; // the read held reports that move the cursor
    bool moved = false;  // one of them was new
    for (TDeadlockReport& r : reports) {
        const TKey key{r.Time, TextHash(r.Xml)};
        if (r.Time > clockMs + kDeadlockClockSlackMs) {
            // Taken once, while it lies ahead; the reads ask from the cursor on, so it comes
            // again until the server drops it.
            if (TakenAhead.insert(key).second && r.Time > KnownAheadUpTo_) {
                take.AheadOfClock.push_back(r.Time);
                take.Fresh.push_back(std::move(r));
            }
            continue;
        }
        behind = true;
        // Older ones can only come from a server whose clock went back: never taken twice.
        if (Known_ && r.Time < Since_)
            continue;
        if (Known_ && r.Time == Since_) {
            if (!SeenAtSince.insert(r.Xml).second)
                continue;
        } else {
            Known_ = true;
            Since_ = r.Time;
            SeenAtSince = {r.Xml};
        }
        moved = true;
        // Taken while it lay ahead of a clock that has caught up since: not again.
        if (TakenAhead.count(key) == 0)
            take.Fresh.push_back(std::move(r));
    }
    // A full read of reports all seen before would come back the same for ever: more than a
    // read's worth in one millisecond. The rest of that millisecond is given up.
    if (fullRead && behind && !moved && Known_) {
        ++Since_;
        SeenAtSince.clear();
    }
    if (Since_ != before)
        ForgetBehind();
    Bound(TakenAhead, MaxKept);
    take.ReadOn = fullRead && (Since_ != before || moved || !take.AheadOfClock.empty());
    return take;
}
