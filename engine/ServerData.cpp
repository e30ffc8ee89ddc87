#include "ServerData.h"

#include "ConnectionStringPieces.h"
#include "Errors.h"
#include "OleException.h"
#include "ServerOwner.h"
#include "Settings.h"
#include "UiHooks.h"

const char* const TServerData::ProcessQueryText =
    "select spid, blocked, d.name, waittime, lastwaittype, waitresource, open_tran, p.status, "
    "hostname, program_name, cmd, loginame, cpu, physical_io, memusage\r\n"
    "from master.dbo.sysprocesses p left outer join master..sysdatabases d on d.dbid = p.dbid\r\n"
    "order by blocked, waittime";

// One round trip for everything the login may see and do, and which kind of server it is.
// VIEW SERVER PERFORMANCE STATE is asked only of SQL Server 2022 and later, where the
// permission exists; the database-level permissions only of Azure SQL Database.
const char* const TServerData::SysAdminQueryText =
    "select IS_SRVROLEMEMBER('sysadmin'), HAS_PERMS_BY_NAME(null, null, 'VIEW SERVER STATE'), "
    "HAS_PERMS_BY_NAME(null, null, 'ALTER ANY CONNECTION'), suser_sname(), "
    "case when convert(int, SERVERPROPERTY('ProductMajorVersion')) >= 16 then "
    "HAS_PERMS_BY_NAME(null, null, 'VIEW SERVER PERFORMANCE STATE') else 0 end, "
    "convert(int, SERVERPROPERTY('EngineEdition')), "
    "convert(nvarchar(128), SERVERPROPERTY('ProductVersion')), db_id('rdsadmin'), "
    "case when convert(int, SERVERPROPERTY('EngineEdition')) = 5 then "
    "HAS_PERMS_BY_NAME(db_name(), 'DATABASE', 'VIEW DATABASE STATE') else 0 end, "
    "case when convert(int, SERVERPROPERTY('EngineEdition')) = 5 then "
    "HAS_PERMS_BY_NAME(db_name(), 'DATABASE', 'KILL DATABASE CONNECTION') else 0 end, "
    "case when convert(int, SERVERPROPERTY('EngineEdition')) = 5 then "
    "IS_SRVROLEMEMBER('##MS_ServerStateReader##') else 0 end";

namespace {

// The time-out that a stored 0 stands for, as a new server's default.
constexpr std::uint32_t UnlimitedTimeoutStandIn = 30;

Exception UnknownAdoError(TEventStatus status) {
    return Exception(std::string("Unknown connection ADO error ( EventStatus = ") +
                     EventStatusName(status) + ")!");
}

} // namespace

TServerData::TServerData(IServerOwner& owner, const TServerInfo& info) : Owner(owner) {
    // An error that escapes a handler of ours (the owner's call-backs included) on an
    // asynchronous event has no caller left: it goes to the default error display.
    TDbConnection::UnhandledEventError = [](const std::exception& e) { ShowErrorMessage(e); };
    ADOConnection.CommandTimeout = 3;
    ADOConnection.OnWillConnect = [this](TDbConnection& c, std::string& s, std::string& u,
                                         std::string& p, TConnectOption& o, TEventStatus& st) {
        ADOConnectionWillConnect(c, s, u, p, o, st);
    };
    ADOConnection.OnConnectComplete = [this](TDbConnection& c, const TDbError* e,
                                             TEventStatus& st) {
        ADOConnectionConnectComplete(c, e, st);
    };
    ADOConnection.OnExecuteComplete =
        [this](TDbConnection& c, int n, const TDbError* e, TEventStatus& st, const TDbCommand& cmd,
               const TDbRecordsetPtr& rs) { ADOConnectionExecuteComplete(c, n, e, st, cmd, rs); };
    ADOConnection.OnInfoMessage = [this](TDbConnection& c, const TDbError* e, TEventStatus& st) {
        ADOConnectionInfoMessage(c, e, st);
    };
    ApplyServerInfo(info);
}

const TBlockingAnalysis& TServerData::Analysis() const {
    if (Analysis_.Version() != ProcessList.Version())
        Analysis_.Analyze(ProcessList);
    return Analysis_;
}

TServerData::~TServerData() {
    try {
        Disconnect();
    } catch (...) {
        // Nothing is left to report to while the monitor goes away.
    }
}

void TServerData::ApplyServerInfo(const TServerInfo& info) {
    struct LoadingScope {
        bool& Flag;
        explicit LoadingScope(bool& flag) : Flag(flag) { Flag = true; }
        ~LoadingScope() { Flag = false; }
    } loading(Loading);

    Info = info;
    Disconnect();
    Reconnect.Succeeded();      // another address or login is tried at once
    SeesOnlyOwnSession = false; // another login may see more, or be logged anew
    UserId.clear();
    Password.clear();
    ADOConnection.ConnectionString = Info.ConnectionString + ";Application Name=Tallyvane";
    // 0 would mean "no limit": a hung server would keep the monitor busy for ever. The stored
    // value stays as it is.
    const std::uint32_t limit = Info.Timeout == 0 ? UnlimitedTimeoutStandIn : Info.Timeout;
    ADOConnection.ConnectionTimeout = limit;
    ADOConnection.CommandTimeout = limit;
    Enabled = Info.Enabled;
    if (Enabled) {
        AnalyzeConnectionString();
        if (NeedsLogin) {
            PromptLogin();
        }
    }
}

void TServerData::Refresh() {
    if (!Enabled || Loading) {
        return;
    }
    Busy = true;
    try {
        OleCall([this] {
            if (ADOConnection.Connected() && SeesOnlyOwnSession) {
                // Only the permissions are asked until a grant lets the process query see.
                CommandKind = 3;
                ADOConnection.Execute(SysAdminQueryText, eoAsyncExecute);
                SysAdminId = ADOConnection.LastCommandId();
            } else if (ADOConnection.Connected()) {
                // The login dialog's connect asked the permissions without this check.
                if (CheckVisibility()) {
                    QueryProcesses();
                }
            } else {
                ADOConnection.ConnectOptions = coAsyncConnect;
                ConnectPending = true;
                ADOConnection.Open();
            }
        });
    } catch (const std::exception& e) {
        SetError();
        Owner.LogError(Info.Name, e);
    }
    NotifyChanged(false);
}

void TServerData::QueryProcesses() {
    CommandKind = 0;
    OleCall([this] { ADOConnection.Execute(ProcessQueryFor(), eoAsyncExecute); });
    QueryId = ADOConnection.LastCommandId();
}

bool TServerData::CheckSysAdmin() {
    CommandKind = 3;
    const TDbRecordsetPtr records =
        OleCall([&] { return ADOConnection.Execute(SysAdminQueryText); });
    ReadPermissions(records);
    return IsSysAdmin;
}

void TServerData::ReadPermissions(const TDbRecordsetPtr& recordset) {
    IsSysAdmin = false;
    CanViewServerState = false;
    CanAlterAnyConnection = false;
    CanViewPerformanceState = false;
    LoginName.clear();
    Edition = TServerEdition::SqlServer;
    ProductVersion.clear();
    OleCall([&] {
        if (recordset && recordset->IsOpen()) {
            TDbDataSet dataSet;
            dataSet.SetRecordset(recordset);
            if (dataSet.Eof()) {
                return;
            }
            const int columns = dataSet.FieldCount();
            IsSysAdmin = dataSet.Fields(0).AsInteger() == 1;
            // A missing column (an older server's answer) grants nothing beyond sysadmin.
            CanViewServerState = IsSysAdmin || (columns > 1 && dataSet.Fields(1).AsInteger() == 1);
            CanAlterAnyConnection =
                IsSysAdmin || (columns > 2 && dataSet.Fields(2).AsInteger() == 1);
            CanViewPerformanceState =
                CanViewServerState ||
                (columns > 4 && !dataSet.Fields(4).IsNull() && dataSet.Fields(4).AsInteger() == 1);
            if (columns > 3 && !dataSet.Fields(3).IsNull()) {
                // Bounded: it only names the login in a status line.
                LoginName = dataSet.Fields(3).AsString().substr(0, 128);
            }
            ReadEdition(dataSet);
        }
    });
}

void TServerData::ReadEdition(TDbDataSet& dataSet) {
    const int columns = dataSet.FieldCount();
    const auto granted = [&](int column) {
        return columns > column && !dataSet.Fields(column).IsNull() &&
               dataSet.Fields(column).AsInteger() == 1;
    };
    const bool hasEdition = columns > 5;
    const bool editionNull = hasEdition && dataSet.Fields(5).IsNull();
    const bool rdsAdmin = columns > 7 && !dataSet.Fields(7).IsNull();
    Edition = EditionFromEngine(hasEdition && !editionNull
                                    ? std::optional<std::int64_t>(dataSet.Fields(5).AsInteger())
                                    : std::nullopt,
                                editionNull, rdsAdmin);
    if (columns > 6 && !dataSet.Fields(6).IsNull())
        ProductVersion = SafeProductVersion(dataSet.Fields(6).AsString().substr(0, 128));
    if (Edition != TServerEdition::AzureSqlDatabase)
        return;
    if (ConnectionStringValue(Info.ConnectionString, "Initial Catalog").empty() &&
        ConnectionStringValue(Info.ConnectionString, "Database").empty())
        throw Exception("Azure SQL Database watches one database per connection: name it in the "
                        "connection string (Initial Catalog=<database>).");
    // The server admin holds the database-level permissions; no server role applies.
    CanViewServerState = IsSysAdmin || granted(8) || granted(10);
    CanViewPerformanceState = CanViewServerState;
    CanAlterAnyConnection = IsSysAdmin || granted(9);
}

const char* TServerData::ProcessQueryFor() const {
    return Edition == TServerEdition::AzureSqlDatabase ? DmProcessQueryText : ProcessQueryText;
}

std::string TServerData::LastBatchQueryFor(std::int32_t spid) const {
    return Edition == TServerEdition::AzureSqlDatabase ? DmLastBatchQuery(spid)
                                                       : LastBatchQuery(spid);
}

std::string TServerData::OwnSessionOnlyText() const {
    std::string quoted;
    for (char c : LoginName.empty() ? UserId : LoginName) {
        if (static_cast<unsigned char>(c) < 32) {
            continue;
        }
        quoted += c;
        if (c == ']') {
            quoted += ']';
        }
    }
    return std::string("sees only its own session: GRANT ") +
           (Edition == TServerEdition::AzureSqlDatabase ? "VIEW DATABASE STATE"
                                                        : "VIEW SERVER STATE") +
           " TO [" + quoted + "]";
}

bool TServerData::CheckVisibility() {
    if (CanViewServerState || CanViewPerformanceState) {
        SeesOnlyOwnSession = false;
        return true;
    }
    Busy = false;
    State = 2;
    ProcessList.Clear();
    MaxWaitTime = 0;
    if (!SeesOnlyOwnSession) {
        // Logged once, when the server turns blind, not at every refresh.
        SeesOnlyOwnSession = true;
        Owner.LogError(Info.Name, Exception(OwnSessionOnlyText()));
    }
    return false;
}

void TServerData::ADOConnectionConnectComplete(TDbConnection& /*connection*/, const TDbError* error,
                                               TEventStatus& status) {
    // The login's synchronous connects report their outcome to PromptLogin itself.
    if (ADOConnection.ConnectOptions == coConnectUnspecified) {
        return;
    }
    ConnectPending = false;
    if (status == esOK) {
        Reconnect.Succeeded();
    } else {
        Reconnect.Failed();
    }
    try {
        if (status == esOK) {
            // The sysadmin question is asked without waiting here: a nested wait would keep
            // every handler that runs inside it (other monitors' included) from finishing until
            // this server answers. Its completion finishes this step (FinishConnect).
            CommandKind = 3;
            OleCall([this] { ADOConnection.Execute(SysAdminQueryText, eoAsyncExecute); });
            SysAdminId = ADOConnection.LastCommandId();
            return;
        }
        ADOConnection.Close();
        if (error != nullptr) {
            throw EOleException(*error);
        }
        throw UnknownAdoError(status);
    } catch (const std::exception& e) {
        SetError();
        Owner.LogError(Info.Name, e);
    }
    NotifyChanged(false);
}

void TServerData::FinishConnect(const TDbError* error, TEventStatus status,
                                const TDbRecordsetPtr& recordset) {
    try {
        if (status != esOK) {
            if (error != nullptr) {
                throw EOleException(*error);
            }
            throw UnknownAdoError(status);
        }
        ReadPermissions(recordset);
        if (CheckVisibility()) {
            QueryProcesses();
        }
    } catch (const std::exception& e) {
        SetError();
        Owner.LogError(Info.Name, e);
    }
    NotifyChanged(false);
}

void TServerData::ADOConnectionExecuteComplete(TDbConnection& /*connection*/,
                                               int /*recordsAffected*/, const TDbError* error,
                                               TEventStatus& status, const TDbCommand& command,
                                               const TDbRecordsetPtr& recordset) {
    if (SysAdminId != 0 && command.Id == SysAdminId) {
        SysAdminId = 0;
        FinishConnect(error, status, recordset);
        return;
    }
    if (const auto request = InputBufferRequests.find(command.Id);
        request != InputBufferRequests.end()) {
        const TInputBufferRequest pending = std::move(request->second);
        InputBufferRequests.erase(request);
        FinishInputBuffer(pending, status, recordset);
        return;
    }
    if (const auto request = IdentityRequests.find(command.Id); request != IdentityRequests.end()) {
        const TSessionIdentityDone done = std::move(request->second);
        IdentityRequests.erase(request);
        std::optional<TSessionIdentity> identity;
        if (status == esOK) {
            try {
                identity = SessionIdentityFrom(recordset);
            } catch (const std::exception&) {
                // Reported as a failed read.
            }
        }
        done(identity ? &*identity : nullptr);
        return;
    }
    if (DatabaseNamesId != 0 && command.Id == DatabaseNamesId) {
        DatabaseNamesId = 0;
        FinishDatabaseNames(status, recordset);
        return;
    }
    if (LockWaitReadId != 0 && command.Id == LockWaitReadId) {
        LockWaitReadId = 0;
        FinishLockWaits(error, status, recordset);
        return;
    }
    if (DeadlockReadId != 0 && command.Id == DeadlockReadId) {
        DeadlockReadId = 0;
        FinishDeadlocks(error, status, recordset);
        // The lock waits follow a read of reports that worked, so at most as often, and a
        // login that may not read them is told once, by the deadlock read.
        if (!DeadlocksUnreadable && !DeadlockClockRead) {
            RequestLockWaits();
        }
        return;
    }
    // Only the outstanding process query is read here. Matching its number (rather than
    // trusting CommandKind) keeps the synchronous statements' completions out, and still
    // reads the query when a statement ran while it was outstanding.
    if (QueryId == 0 || command.Id != QueryId) {
        return;
    }
    QueryId = 0;
    Busy = false;
    try {
        if (status == esOK) {
            try {
                OleCall([&] { ProcessesAD.SetRecordset(recordset); });
                ReadProcesses();
            } catch (...) {
                ProcessesAD.Close();
                throw;
            }
            ProcessesAD.Close();
        } else if (error != nullptr) {
            throw EOleException(*error);
        } else {
            throw UnknownAdoError(status);
        }
    } catch (const std::exception& e) {
        Owner.LogError(Info.Name, e);
        SetError();
    }
    NotifyChanged(false);
    if (State != 2) {
        RequestDeadlocks();
    }
}

void TServerData::ADOConnectionInfoMessage(TDbConnection& /*connection*/, const TDbError* /*error*/,
                                           TEventStatus& status) {
    if (status == esErrorsOccured) {
        ADOConnection.Errors.clear();
    }
}

void TServerData::NotifyChanged(bool checkWarning) {
    Owner.ServerChanged(*this);
    if (!checkWarning) {
        return;
    }
    // The 16-bit setting widened without sign, compared as signed 32-bit values.
    if (State == 1 && MaxWaitTime >= static_cast<std::int32_t>(WarningTimeout)) {
        // A muted server is not warned about; once the mute ends, a blocking that still
        // lasts is warned about as if it had just begun.
        if ((!Warned || !WarnOnlyOnce) && !Muted()) {
            Warned = Owner.Warn(*this);
        }
        Warned = Warned && WarnOnlyOnce;
    } else {
        Warned = false;
    }
}

void TServerData::SetError() {
    Busy = false;
    State = 2;
    try {
        Disconnect();
    } catch (const std::exception& e) {
        Owner.LogError(Info.Name, e);
    }
}

void TServerData::Disconnect() {
    // Abandoned work raises no event: if it was the connect or query that Refresh started,
    // nothing else would ever clear Busy.
    const bool refreshWork = QueryId != 0 || SysAdminId != 0 || ConnectPending;
    ADOConnection.Cancel();
    ADOConnection.Close();
    ProcessList.Clear();
    InputBufferRequests.clear();
    IdentityRequests.clear();
    NoDmInputBuffer = false;
    DatabaseNamesId = 0;
    DatabaseNamesAsked = false;
    DeadlockReadId = 0;
    LockWaitReadId = 0;
    QueryId = 0;
    SysAdminId = 0;
    ConnectPending = false;
    if (refreshWork) {
        Busy = false;
    }
}
