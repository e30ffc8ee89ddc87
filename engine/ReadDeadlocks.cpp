// Reading the deadlock reports of the server into the monitor's owner.
#include "DeadlockParser.h"
#include "Errors.h"
#include "OleException.h"
#include "ServerData.h"
#include "ServerOwner.h"

#include <algorithm>

namespace {

// The read shares the monitor's connection: a server that takes longer is given up, and the
// next refresh goes on.
constexpr std::uint32_t DeadlockReadTimeout = 10; // seconds

} // namespace

void TServerData::SetDeadlocksKnownUpTo(std::int64_t msSince1970) {
    DeadlockCursor.SetKnownUpTo(msSince1970);
}

bool TServerData::RequestDeadlocks() {
    const auto now = std::chrono::steady_clock::now();
    if (!ReadsDeadlocks || DeadlockReadId != 0 || now < NextDeadlockRead || !CanViewServerState ||
        SeesOnlyOwnSession || ADOConnection.Connecting() || !ADOConnection.Connected())
        return false;
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
                std::int64_t time = 0;
                const std::string stamp = dataSet.Fields(0).AsString().substr(0, 40);
                if (!ParseDeadlockTimestamp(stamp, time))
                    throw Exception("the server's time \"" + stamp + "\" is no timestamp");
                if (DeadlockClockRead) {
                    // Nothing is known of this server yet (a first start): what its ring
                    // buffer kept of the last day is read once, for the history.
                    DeadlockCursor.StartAt(
                        time -
                        std::chrono::duration_cast<std::chrono::milliseconds>(DeadlockBacklog)
                            .count());
                    return;
                }
                if (dataSet.FieldCount() < 2 || dataSet.Fields(1).IsNull())
                    continue;
                TDeadlockReport report = ParseDeadlockReport(dataSet.Fields(1).AsString());
                if (report.Xml.empty())
                    continue; // no report in it: nothing to show
                report.Time = time;
                reports.push_back(std::move(report));
            }
        });
        if (DeadlockClockRead && !DeadlockCursor.Known())
            throw Exception("the server did not tell its time");
    } catch (const std::exception& e) {
        NextDeadlockRead = now + 10 * DeadlockReadInterval;
        if (!DeadlocksUnreadable) {
            DeadlocksUnreadable = true;
            Owner.LogError(Info.Name,
                           Exception(std::string("Deadlock reports cannot be read (the login needs "
                                                 "VIEW SERVER STATE and VIEW SERVER PERFORMANCE "
                                                 "STATE, the server its system_health session): ") +
                                     e.what()));
        }
        return;
    }
    DeadlocksUnreadable = false;
    const bool full = !DeadlockClockRead && rows >= kDeadlockReadRows;
    // A full read leaves more behind: the next snapshot reads on.
    NextDeadlockRead = full ? now : now + DeadlockReadInterval;
    std::vector<TDeadlockReport> fresh = DeadlockCursor.Take(std::move(reports), full);
    if (fresh.empty())
        return;
    DeadlockReports += fresh.size();
    try {
        Owner.DeadlocksRead(*this, fresh);
    } catch (const std::exception& e) {
        Owner.LogError(Info.Name, e);
    }
}
