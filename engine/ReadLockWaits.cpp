// Reading the server's lock-wait figures, right behind the deadlock read.
#include "Errors.h"
#include "LockWaits.h"
#include "OleException.h"
#include "ServerData.h"
#include "ServerOwner.h"

#include <charconv>

namespace {

constexpr std::uint32_t LockWaitReadTimeout = 10; // seconds, as the deadlock read

std::int64_t Figure(const TDbField& field) {
    if (field.IsNull())
        return 0; // no lock wait type: nothing counted
    const std::string text = field.AsString().substr(0, 24);
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        throw Exception("the server's figure \"" + text + "\" is no number");
    return value;
}

std::int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace

bool TServerData::RequestLockWaits() {
    if (LockWaitReadId != 0 || !CanViewServerState || SeesOnlyOwnSession ||
        ADOConnection.Connecting() || !ADOConnection.Connected())
        return false;
    const std::uint32_t timeout = ADOConnection.CommandTimeout;
    ADOConnection.CommandTimeout =
        timeout == 0 ? LockWaitReadTimeout : std::min(timeout, LockWaitReadTimeout);
    try {
        ADOConnection.Execute(LockWaitsQueryText, eoAsyncExecute);
    } catch (const std::exception&) {
        ADOConnection.CommandTimeout = timeout;
        return false; // the next refresh finds out what is wrong with the connection
    }
    ADOConnection.CommandTimeout = timeout;
    LockWaitReadId = ADOConnection.LastCommandId();
    return true;
}

void TServerData::FinishLockWaits(const TDbError* error, TEventStatus status,
                                  const TDbRecordsetPtr& recordset) {
    if (status != esOK && error != nullptr && error->SqlState.rfind("08", 0) == 0)
        return; // a broken connection is the next refresh's to report
    try {
        if (status != esOK) {
            if (error == nullptr)
                throw Exception("the read did not complete");
            throw EOleException(*error);
        }
        std::int64_t waits = 0, waitMs = 0;
        bool read = false;
        OleCall([&] {
            if (!recordset || !recordset->IsOpen())
                return;
            TDbDataSet dataSet;
            dataSet.SetRecordset(recordset);
            if (dataSet.Eof() || dataSet.FieldCount() < 2)
                return;
            waits = Figure(dataSet.Fields(0));
            waitMs = Figure(dataSet.Fields(1));
            read = true;
        });
        if (!read)
            throw Exception("the server sent no figures");
        LockWaits.Take(waits, waitMs, NowMs());
        LockWaitsUnreadable = false;
    } catch (const std::exception& e) {
        if (!LockWaitsUnreadable) {
            LockWaitsUnreadable = true;
            Owner.LogError(Info.Name,
                           Exception(std::string("Lock waits cannot be read (the login needs VIEW "
                                                 "SERVER STATE): ") +
                                     e.what()));
        }
    }
}
