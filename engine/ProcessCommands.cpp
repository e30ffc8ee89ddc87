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

void TServerData::KillProcess(std::int32_t spid) {
    CommandKind = 2;
    OleCall([&] { ADOConnection.Execute("KILL " + std::to_string(spid), eoExecuteNoRecords); });
}
