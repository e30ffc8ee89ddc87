// The statements run on demand for one process: its last command, and KILL.
#include "OleException.h"
#include "ServerData.h"

std::string TServerData::GetInputBuffer(std::int32_t spid) {
    TDbDataSet dataSet;
    CommandKind = 1;
    return OleCall([&] {
        const TDbRecordsetPtr records =
            ADOConnection.Execute("DBCC INPUTBUFFER(" + std::to_string(spid) + ")");
        if (records && records->IsOpen()) {
            dataSet.SetRecordset(records);
            return dataSet.Fields(2).AsString();
        }
        return std::string();
    });
}

bool TServerData::RequestInputBuffer(std::int32_t spid, TInputBufferDone done) {
    // Execute would open a closed connection and wait for it; a pending connect would be waited
    // for too.
    if (ADOConnection.Connecting() || !ADOConnection.Connected())
        return false;
    CommandKind = 1;
    OleCall([&] {
        ADOConnection.Execute("DBCC INPUTBUFFER(" + std::to_string(spid) + ")", eoAsyncExecute);
    });
    InputBufferRequests[ADOConnection.LastCommandId()] = std::move(done);
    return true;
}

void TServerData::FinishInputBuffer(const TInputBufferDone& done, TEventStatus status,
                                    const TDbRecordsetPtr& recordset) {
    std::string text;
    bool read = false;
    if (status == esOK) {
        try {
            if (recordset && recordset->IsOpen()) {
                TDbDataSet dataSet;
                dataSet.SetRecordset(recordset);
                text = dataSet.Fields(2).AsString();
            }
            read = true;
        } catch (const std::exception&) {
            // Reported as a failed read: the caller has nobody to show it to either.
        }
    }
    done(read ? &text : nullptr);
}

void TServerData::KillProcess(std::int32_t spid) {
    CommandKind = 2;
    OleCall([&] { ADOConnection.Execute("KILL " + std::to_string(spid), eoExecuteNoRecords); });
}
