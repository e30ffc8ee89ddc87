// The statements run on demand for one process: its last command, KILL, and the catalog
// reads that make a kill safe and a wait resource readable.
#include "OleException.h"
#include "ServerData.h"
#include "ServerTextLimit.h"

namespace {

std::string TrimText(std::string s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 32)
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32)
        --e;
    return s.substr(b, e - b);
}

} // namespace

bool TServerData::UsesDmInputBuffer() const {
    // DBCC INPUTBUFFER shows other sessions to sysadmin only; the function (2014 SP2 and
    // later) to any login with VIEW SERVER STATE. Managed Instance, RDS and Azure SQL Database
    // always have the function, and DBCC is no choice there.
    if (Edition != TServerEdition::SqlServer)
        return true;
    return !IsSysAdmin && CanViewServerState && !NoDmInputBuffer;
}

std::string TServerData::InputBufferQuery(std::int32_t spid) const {
    return UsesDmInputBuffer() ? "select event_info from sys.dm_exec_input_buffer(" +
                                     std::to_string(spid) + ", null)"
                               : "DBCC INPUTBUFFER(" + std::to_string(spid) + ")";
}

std::string TServerData::GetInputBuffer(std::int32_t spid) {
    CommandKind = 1;
    const bool dm = UsesDmInputBuffer();
    TDbRecordsetPtr records;
    try {
        records = OleCall([&] { return ADOConnection.Execute(InputBufferQuery(spid)); });
    } catch (const EOleException&) {
        if (!dm || !ADOConnection.Connected() || Edition != TServerEdition::SqlServer)
            throw;
        // An older server without the function: DBCC from now on on this connection.
        NoDmInputBuffer = true;
        return GetInputBuffer(spid);
    }
    TDbDataSet dataSet;
    return OleCall([&] {
        if (records && records->IsOpen()) {
            dataSet.SetRecordset(records);
            if (!dataSet.Eof())
                return std::string(CutToUnits(dataSet.Fields(dm ? 0 : 2).AsString(),
                                              ServerTextLimit::InputBuffer));
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
    const bool dm = UsesDmInputBuffer();
    OleCall([&] { ADOConnection.Execute(InputBufferQuery(spid), eoAsyncExecute); });
    InputBufferRequests[ADOConnection.LastCommandId()] = {std::move(done), spid, dm};
    return true;
}

void TServerData::FinishInputBuffer(const TInputBufferRequest& request, TEventStatus status,
                                    const TDbRecordsetPtr& recordset) {
    std::string text;
    bool read = false;
    if (status == esOK) {
        try {
            if (recordset && recordset->IsOpen()) {
                TDbDataSet dataSet;
                dataSet.SetRecordset(recordset);
                if (!dataSet.Eof())
                    text = CutToUnits(dataSet.Fields(request.Dm ? 0 : 2).AsString(),
                                      ServerTextLimit::InputBuffer);
            }
            read = true;
        } catch (const std::exception&) {
            // Reported as a failed read: the caller has nobody to show it to either.
        }
    } else if (request.Dm && Edition == TServerEdition::SqlServer) {
        // An older server without the function: asked again through DBCC.
        NoDmInputBuffer = true;
        try {
            if (RequestInputBuffer(request.Spid, request.Done))
                return;
        } catch (const std::exception&) {
        }
    }
    request.Done(read ? &text : nullptr);
}

void TServerData::KillProcess(std::int32_t spid) {
    CommandKind = 2;
    OleCall([&] { ADOConnection.Execute("KILL " + std::to_string(spid), eoExecuteNoRecords); });
}

std::string SessionIdentityQuery(std::int32_t spid) {
    return "select loginame, hostname, program_name, convert(varchar(23), login_time, 121) "
           "from master.dbo.sysprocesses where spid = " +
           std::to_string(spid);
}

const char* const DatabaseNamesQueryText = "select dbid, name from master.dbo.sysdatabases";

// Azure SQL Database names no other database: its own id and name is all there is.
std::string TServerData::SessionIdentityQueryFor(std::int32_t spid) const {
    return Edition == TServerEdition::AzureSqlDatabase ? DmSessionIdentityQuery(spid)
                                                       : SessionIdentityQuery(spid);
}

const char* TServerData::DatabaseNamesQueryFor() const {
    return Edition == TServerEdition::AzureSqlDatabase ? CurrentDatabaseQueryText
                                                       : DatabaseNamesQueryText;
}

std::optional<TSessionIdentity> SessionIdentityFrom(const TDbRecordsetPtr& records) {
    if (!records || !records->IsOpen())
        return std::nullopt;
    TDbDataSet dataSet;
    dataSet.SetRecordset(records);
    if (dataSet.Eof())
        return std::nullopt; // no such session any more
    // The first row: the other rows of a parallel query belong to the same session.
    TSessionIdentity id;
    id.Login =
        TrimText(std::string(CutToUnits(dataSet.Fields(0).AsString(), ServerTextLimit::Name)));
    id.Host =
        TrimText(std::string(CutToUnits(dataSet.Fields(1).AsString(), ServerTextLimit::Name)));
    id.Program =
        TrimText(std::string(CutToUnits(dataSet.Fields(2).AsString(), ServerTextLimit::Name)));
    id.LoginTime = TrimText(dataSet.Fields(3).AsString());
    return id;
}

std::optional<TSessionIdentity> TServerData::ReadSessionIdentity(std::int32_t spid) {
    CommandKind = 4;
    return OleCall([&]() -> std::optional<TSessionIdentity> {
        return SessionIdentityFrom(ADOConnection.Execute(SessionIdentityQueryFor(spid)));
    });
}

bool TServerData::RequestSessionIdentity(std::int32_t spid, TSessionIdentityDone done) {
    if (ADOConnection.Connecting() || !ADOConnection.Connected())
        return false;
    CommandKind = 4;
    OleCall([&] { ADOConnection.Execute(SessionIdentityQueryFor(spid), eoAsyncExecute); });
    IdentityRequests[ADOConnection.LastCommandId()] = std::move(done);
    return true;
}

namespace {

TDatabaseNames DatabaseNamesFrom(const TDbRecordsetPtr& records) {
    TDatabaseNames names;
    if (!records || !records->IsOpen())
        return names;
    TDbDataSet dataSet;
    dataSet.SetRecordset(records);
    for (dataSet.First(); !dataSet.Eof(); dataSet.Next())
        if (!dataSet.Fields(0).IsNull())
            names[dataSet.Fields(0).AsInteger()] = TrimText(
                std::string(CutToUnits(dataSet.Fields(1).AsString(), ServerTextLimit::Name)));
    return names;
}

} // namespace

TDatabaseNames TServerData::ReadDatabaseNames() {
    CommandKind = 4;
    return OleCall(
        [&] { return DatabaseNamesFrom(ADOConnection.Execute(DatabaseNamesQueryFor())); });
}

bool TServerData::RequestDatabaseNames() {
    // Once per connection: a login that may not read the catalog is not asked at every refresh.
    if (DatabaseNamesAsked || !DatabaseNames.empty() || ADOConnection.Connecting() ||
        !ADOConnection.Connected())
        return false;
    DatabaseNamesAsked = true;
    try {
        CommandKind = 4;
        ADOConnection.Execute(DatabaseNamesQueryFor(), eoAsyncExecute);
    } catch (const std::exception&) {
        return false; // the ids stay as they are
    }
    DatabaseNamesId = ADOConnection.LastCommandId();
    return true;
}

void TServerData::FinishDatabaseNames(TEventStatus status, const TDbRecordsetPtr& recordset) {
    if (status != esOK)
        return;
    try {
        TDatabaseNames names = DatabaseNamesFrom(recordset);
        if (!names.empty())
            DatabaseNames = std::move(names);
    } catch (const std::exception&) {
        // The ids stay as they are; nobody asked for the names in person.
    }
}

TObjectNames TServerData::ReadObjectNames(const std::string& query) {
    TDbDataSet dataSet;
    CommandKind = 4;
    return OleCall([&] {
        TObjectNames names;
        const TDbRecordsetPtr records = ADOConnection.Execute(query);
        if (!records || !records->IsOpen())
            return names;
        dataSet.SetRecordset(records);
        if (dataSet.Eof())
            return names;
        names.Schema = TrimText(dataSet.Fields(0).AsString());
        names.Object = TrimText(dataSet.Fields(1).AsString());
        names.Index = TrimText(dataSet.Fields(2).AsString());
        return names;
    });
}
