// Reading the deadlock reports of the server into the monitor's owner.
#include "DeadlockParser.h"
#include "Errors.h"
#include "OleException.h"
#include "ServerData.h"
#include "ServerOwner.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <utility>

namespace {

// The read shares the monitor's connection: a server that takes longer is given up, and the
// next refresh goes on.
constexpr std::uint32_t DeadlockReadTimeout = 10; // seconds

// Reports named one by one in a message; more are counted.
constexpr std::size_t NamedInMessage = 3;

std::int64_t Timestamp(const TDbField& field) {
    const std::string stamp = field.AsString().substr(0, 40);
    std::int64_t time = 0;
    if (!ParseDeadlockTimestamp(stamp, time))
        throw Exception("the server's time \"" + stamp + "\" is no timestamp");
    return time;
}

// The report's whole size as the server gave it (bytes, two a character), when the text that
// came is only its start; empty otherwise.
std::string CutSize(const TDbField& size) {
    const std::string text = size.AsString();
    std::int64_t bytes = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), bytes);
    const bool number = ec == std::errc() && end == text.data() + text.size();
    return number && bytes > static_cast<std::int64_t>(2 * kDeadlockReportChars) ? text
                                                                                 : std::string();
}

// "the report of T (what)", or "3 reports: of T1 (what1); ..." for several.
std::string Listed(const std::vector<std::string>& items, const char* one, const char* many) {
    std::string text = items.size() == 1 ? one : std::to_string(items.size()) + " " + many;
    for (std::size_t i = 0; i < items.size() && i < NamedInMessage; ++i)
        text += (i == 0 ? " " : "; ") + items[i];
    if (items.size() > NamedInMessage)
        text += "; ...";
    return text;
}

} // namespace

void TServerData::SayDeadlockAhead(const char* what, std::int64_t time, std::int64_t clock) {
    if (std::exchange(DeadlockAheadSaid, true))
        return;
    Owner.LogError(Info.Name,
                   Exception(std::string(what) + ": it is dated " + DeadlockTimestampText(time) +
                             ", more than a minute ahead of the server's clock (" +
                             DeadlockTimestampText(clock) +
                             "); new deadlock reports are read from the newest one that is not "
                             "ahead of the clock"));
}

void TServerData::SetDeadlocksKnownUpTo(std::int64_t msSince1970) {
    DeadlockCursor.SetKnownUpTo(msSince1970);
}

bool TServerData::RequestDeadlocks() {
    const auto now = std::chrono::steady_clock::now();
    if (!ReadsDeadlocks || DeadlockReadId != 0 || now < NextDeadlockRead || !CanViewServerState ||
        SeesOnlyOwnSession || ADOConnection.Connecting() || !ADOConnection.Connected())
        return false;
    if (Edition == TServerEdition::AzureSqlDatabase) {
        // No system_health there, and no session of ours is created: said once, monitoring
        // goes on.
        if (!DeadlocksNotOffered) {
            DeadlocksNotOffered = true;
            Owner.LogError(Info.Name,
                           Exception("Deadlocks are not read: Azure SQL Database has no "
                                     "system_health session, and Tallyvane creates no event "
                                     "session of its own. Blocking is watched as before."));
        }
        return false;
    }
    DeadlockClockRead = !DeadlockCursor.Known();
    const std::string text = DeadlockClockRead ? std::string(DeadlockClockQueryText)
                                               : DeadlockReadQuery(DeadlockCursor.Since());
    const std::uint32_t timeout = ADOConnection.CommandTimeout;
    ADOConnection.CommandTimeout =
        timeout == 0 ? DeadlockReadTimeout : std::min(timeout, DeadlockReadTimeout);
    try {
        ADOConnection.Execute(text, eoAsyncExecute);
    } catch (const std::exception&) {
        ADOConnection.CommandTimeout = timeout;
        NextDeadlockRead = now + DeadlockReadInterval;
        return false; // the next refresh finds out what is wrong with the connection
    }
    ADOConnection.CommandTimeout = timeout;
    DeadlockReadId = ADOConnection.LastCommandId();
    return true;
}

void TServerData::FinishDeadlocks(const TDbError* error, TEventStatus status,
                                  const TDbRecordsetPtr& recordset) {
    const auto now = std::chrono::steady_clock::now();
    std::vector<TDeadlockReport> reports;
    std::vector<std::string> refused;             // "of T (why)", each said once
    std::map<std::int64_t, std::string> tooLarge; // by time: the whole size of a cut report
    std::int64_t clock = 0;
    std::size_t rows = 0;
    // A connection that broke is the next refresh's to report, not a reason to stop reading.
    if (status != esOK && error != nullptr && error->SqlState.rfind("08", 0) == 0) {
        NextDeadlockRead = now + DeadlockReadInterval;
        return;
    }
    try {
        if (status != esOK) {
            if (error == nullptr)
                throw Exception("the read did not complete");
            throw EOleException(*error);
        }
        OleCall([&] {
            if (!recordset || !recordset->IsOpen())
                return;
            TDbDataSet dataSet;
            dataSet.SetRecordset(recordset);
            for (; !dataSet.Eof(); dataSet.Next()) {
                ++rows;
                const std::int64_t time = Timestamp(dataSet.Fields(0));
                if (DeadlockClockRead) {
                    std::int64_t ignored = 0;
                    if (!DeadlockCursor.StartAt(time, &ignored))
                        SayDeadlockAhead("The newest deadlock report in the history is passed over",
                                         ignored, time);
                    else if (DeadlockCursor.Since() == time)
                        // Nothing is known of this server yet (a first start): what its ring
                        // buffer kept of the last day is read once, for the history.
                        DeadlockCursor.ReachBack(
                            std::chrono::duration_cast<std::chrono::milliseconds>(DeadlockBacklog)
                                .count());
                    return;
                }
                if (dataSet.FieldCount() < 4)
                    throw Exception("the server answered with " +
                                    std::to_string(dataSet.FieldCount()) + " columns, not 4");
                clock = std::max(clock, Timestamp(dataSet.Fields(3)));
                if (dataSet.Fields(1).IsNull())
                    continue;
                const std::string text = dataSet.Fields(1).AsString();
                std::string why;
                TDeadlockReport report = ParseDeadlockReport(text, &why);
                report.Time = time;
                if (report.Xml.empty()) {
                    // Nothing in it to show; said once, however many reads bring it.
                    if (DeadlockCursor.FirstSight(time, text))
                        refused.push_back("of " + DeadlockTimestampText(time) + " (" + why + ")");
                    continue;
                }
                if (const std::string size = CutSize(dataSet.Fields(2)); !size.empty()) {
                    report.Truncated = true;
                    tooLarge[time] = size;
                }
                reports.push_back(std::move(report));
            }
        });
        if (DeadlockClockRead && !DeadlockCursor.Known())
            throw Exception("the server did not tell its time");
    } catch (const std::exception& e) {
        NextDeadlockRead = now + 10 * DeadlockReadInterval;
        if (!DeadlocksUnreadable) {
            DeadlocksUnreadable = true;
            // Msg 300 and 297 say that a grant is missing; other failures are no such thing.
            const auto* server = dynamic_cast<const EOleException*>(&e);
            const bool denied = server && (server->ErrorCode == 300 || server->ErrorCode == 297);
            Owner.LogError(Info.Name,
                           Exception(std::string("Deadlock reports cannot be read") +
                                     (denied ? " (the login needs VIEW SERVER STATE and VIEW "
                                               "SERVER PERFORMANCE STATE, the server its "
                                               "system_health session): "
                                             : ": ") +
                                     e.what()));
        }
        return;
    }
    DeadlocksUnreadable = false;
    if (DeadlockClockRead) {
        NextDeadlockRead = now + DeadlockReadInterval;
        return;
    }
    TDeadlockTake take = DeadlockCursor.Take(std::move(reports), rows >= kDeadlockReadRows, clock);
    // A full read leaves more behind: the next snapshot reads on.
    NextDeadlockRead = take.ReadOn ? now : now + DeadlockReadInterval;
    if (!refused.empty())
        Owner.LogError(Info.Name, Exception(Listed(refused, "Deadlock report refused: the report",
                                                   "deadlock reports refused: the reports")));
    std::vector<std::string> cut;
    for (const TDeadlockReport& r : take.Fresh)
        if (const auto size = tooLarge.find(r.Time); size != tooLarge.end() && r.Truncated)
            cut.push_back("of " + DeadlockTimestampText(r.Time) + " (" + size->second + " bytes)");
    if (!cut.empty())
        Owner.LogError(Info.Name,
                       Exception(Listed(cut, "Deadlock report too large: the report",
                                        "deadlock reports too large: the reports") +
                                 (cut.size() == 1 ? "; only its first " : "; only the first ") +
                                 std::to_string(kDeadlockReportChars) +
                                 (cut.size() == 1 ? " characters were read, and it is marked as "
                                                    "cut off"
                                                  : " characters of each were read, and they "
                                                    "are marked as cut off")));
    if (!take.AheadOfClock.empty())
        SayDeadlockAhead("A deadlock report is taken once", take.AheadOfClock.front(), clock);
    if (take.Fresh.empty())
        return;
    DeadlockReports += take.Fresh.size();
    try {
        Owner.DeadlocksRead(*this, take.Fresh);
    } catch (const std::exception& e) {
        Owner.LogError(Info.Name, e);
    }
}
