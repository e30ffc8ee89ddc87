#include "DeadlockReader.h"

#include <chrono>
#include <cstdio>

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
// report's element comes back as text, each row on its own.
std::string DeadlockReadQuery(std::int64_t sinceMs) {
    return "set ansi_nulls, ansi_padding, ansi_warnings, arithabort, concat_null_yields_null, "
           "quoted_identifier on;\r\n"
           "select top (" +
           std::to_string(kDeadlockReadRows) +
           ") convert(varchar(30), e.x.value('(@timestamp)[1]', 'datetime2(3)'), 126), "
           "convert(nvarchar(max), e.x.query('(data[@name=\"xml_report\"]/value/deadlock)[1]'))\r\n"
           "from (select convert(xml, t.target_data) as d from sys.dm_xe_session_targets t "
           "join sys.dm_xe_sessions s on s.address = t.event_session_address "
           "where s.name = N'system_health' and t.target_name = N'ring_buffer') as r\r\n"
           "cross apply r.d.nodes('/RingBufferTarget/event[@name=\"xml_deadlock_report\"]"
           "[xs:dateTime(@timestamp) >= xs:dateTime(\"" +
           DeadlockTimestampText(sinceMs) +
           "\")]') as e(x)\r\n"
           "order by e.x.value('(@timestamp)[1]', 'datetime2(3)')";
}

void TDeadlockCursor::SetKnownUpTo(std::int64_t ms) {
    if (Known_ && ms < Since_)
        return;
    Known_ = true;
    Since_ = ms + 1;
    SeenAtSince.clear();
}

void TDeadlockCursor::StartAt(std::int64_t ms) {
    Known_ = true;
    Since_ = ms;
    SeenAtSince.clear();
}

std::size_t TDeadlockCursor::HeldBytes() const {
    std::size_t bytes = sizeof *this;
    for (const std::string& text : SeenAtSince)
        bytes += text.capacity() + 48; // a set node
    return bytes;
}

std::vector<TDeadlockReport> TDeadlockCursor::Take(std::vector<TDeadlockReport> reports,
                                                   bool fullRead) {
    std::vector<TDeadlockReport> fresh;
    for (TDeadlockReport& r : reports) {
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
        fresh.push_back(std::move(r));
    }
    // A full read of reports all seen before would come back the same for ever: more than a
    // read's worth in one millisecond. The rest of that millisecond is given up.
    if (fullRead && fresh.empty() && Known_) {
        ++Since_;
        SeenAtSince.clear();
    }
    return fresh;
}
