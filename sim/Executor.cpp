#include "Executor.h"

#include "Deadlocks.h"
#include "Editions.h"
#include "ExecuteSql.h"
#include "ProcessSelect.h"
#include "ResultSet.h"
#include "Statement.h"
#include "Transactions.h"

#include <chrono>

namespace tdssim {

namespace {

constexpr std::uint16_t kCmdSelect = 0xC1;

ServerMessage msg(int number, int severity, int state, std::string text) {
    ServerMessage m;
    m.number = number;
    m.severity = static_cast<std::uint8_t>(severity);
    m.state = static_cast<std::uint8_t>(state);
    m.text = std::move(text);
    return m;
}

std::string num(long long n) {
    return std::to_string(n);
}

void finish(TokenWriter& tw, std::uint16_t status, std::uint16_t cmd, std::uint64_t rows,
            Ending end) {
    if (end == Ending::InProc) {
        tw.doneInProc(static_cast<std::uint16_t>(status | DoneStatus::More), cmd, rows);
    } else {
        tw.done(static_cast<std::uint16_t>(status | (end == Ending::More ? DoneStatus::More : 0)),
                cmd, rows);
    }
}

// sysprocesses shows every session to these logins, else only the caller's own.
bool seesEverySession(const SessionContext& ctx) {
    return ctx.login.sysadmin || ctx.login.viewServerState ||
           (ctx.login.performanceState() && ctx.state.scenario().majorVersion >= 16);
}

StatementResult singleValue(TokenWriter& tw, const Column& column, Value value, Ending end) {
    std::vector<Column> cols{column};
    writeColumnMetadata(tw, cols);
    writeRow(tw, cols, {std::move(value)});
    finish(tw, DoneStatus::Count, kCmdSelect, 1, end);
    return {true, false, false};
}

StatementResult processQuery(TokenWriter& tw, SessionContext& ctx, Ending end,
                             Clock::time_point now) {
    if (int number = ctx.state.faults().queryError) {
        ServerMessage m = number == 208
                              ? msg(208, 16, 1, "Invalid object name 'master.dbo.sysprocesses'.")
                              : msg(number, 16, 1, "Simulated error " + num(number) + ".");
        sendError(tw, m, end);
        return {false, true, true};
    }
    static const std::vector<Column> declared = {
        // sysprocesses declares these NOT NULL but blocked; the joined name is NULL when no
        // database matches.
        {"spid", ColumnType::SmallInt, 0, false},
        {"blocked", ColumnType::SmallInt, 0},
        {"name", ColumnType::NVarChar, 128},
        {"waittime", ColumnType::BigInt, 0, false},
        {"lastwaittype", ColumnType::NChar, 32, false},
        {"waitresource", ColumnType::NChar, 256, false},
        {"open_tran", ColumnType::SmallInt, 0, false},
        {"status", ColumnType::NChar, 30, false},
        {"hostname", ColumnType::NChar, 128, false},
        {"program_name", ColumnType::NChar, 128, false},
        {"cmd", ColumnType::NChar, 16, false},
        {"loginame", ColumnType::NChar, 128, false},
        {"cpu", ColumnType::Int, 0, false},
        {"physical_io", ColumnType::BigInt, 0, false},
        {"memusage", ColumnType::Int, 0, false},
    };
    std::vector<Column> cols;
    for (const Column& c : declared) {
        cols.push_back(wireColumn(tw, c));
    }
    writeColumnMetadata(tw, cols);
    std::vector<ProcessRow> rows = ctx.state.processRows(now, ctx.spid);
    std::uint64_t count = 0;
    std::string& out = tw.out();
    out.reserve(out.size() + rows.size() * 1700);
    for (const ProcessRow& r : rows) {
        const SessionDef& s = *r.session;
        if (!seesEverySession(ctx) && s.spid != ctx.spid) {
            continue;
        }
        writeRowStart(out);
        writeIntValue(out, cols[0], s.spid);
        writeIntValue(out, cols[1], r.blocked);
        if (r.databaseName) {
            writeTextValue(out, cols[2], *r.databaseName);
        } else {
            writeNullValue(out, cols[2]);
        }
        writeIntValue(out, cols[3], r.waittime);
        writeTextValue(out, cols[4], *r.waitType);
        writeTextValue(out, cols[5], *r.waitResource);
        writeIntValue(out, cols[6], s.openTran);
        writeTextValue(out, cols[7], *r.status);
        writeTextValue(out, cols[8], s.host);
        writeTextValue(out, cols[9], s.program);
        writeTextValue(out, cols[10], *r.command);
        writeTextValue(out, cols[11], s.login);
        writeIntValue(out, cols[12], s.cpu);
        writeIntValue(out, cols[13], s.io);
        writeIntValue(out, cols[14], s.memory);
        ++count;
    }
    finish(tw, DoneStatus::Count, kCmdSelect, count, end);
    return {true, true, false};
}

StatementResult inputBuffer(TokenWriter& tw, SessionContext& ctx, long long spid, Ending end,
                            Clock::time_point now) {
    if (!ctx.login.sysadmin && spid != ctx.spid) {
        sendError(
            tw,
            msg(2571, 14, 3,
                "User '" + ctx.login.name + "' does not have permission to run DBCC INPUTBUFFER."),
            end);
        return {false, false, true};
    }
    std::optional<InputBuffer> buffer;
    if (spid >= -32768 && spid <= 32767) {
        buffer = ctx.state.inputBuffer(static_cast<int>(spid), now);
    }
    if (!buffer) {
        sendError(tw, msg(7955, 16, 2, "Invalid SPID " + num(spid) + " specified."), end);
        return {false, false, true};
    }
    std::vector<Column> cols = {{"EventType", ColumnType::NVarChar, 30},
                                {"Parameters", ColumnType::SmallInt, 0},
                                {"EventInfo", ColumnType::NVarChar, 4000}};
    writeColumnMetadata(tw, cols);
    writeRow(tw, cols, {buffer->eventType, std::int64_t{0}, buffer->text});
    tw.info(msg(2528, 0, 1,
                "DBCC execution completed. If DBCC printed error messages, contact your system "
                "administrator."));
    finish(tw, DoneStatus::Count, kCmdSelect, 1, end);
    return {true, false, false};
}

// The permission checks a monitor asks for at connect, one column each, as SQL Server answers
// them: IS_SRVROLEMEMBER and HAS_PERMS_BY_NAME give int 1 or 0, suser_sname() the login.
StatementResult permissions(TokenWriter& tw, const SessionContext& ctx, const std::string& letters,
                            Ending end) {
    std::vector<Column> cols;
    std::vector<Value> row;
    const Scenario& sc = ctx.state.scenario();
    for (char c : letters) {
        if (c == 'n') {
            cols.push_back({"", ColumnType::NVarChar, 128});
            row.emplace_back(ctx.login.name);
            continue;
        }
        if (c == 'r') {
            cols.push_back({"", ColumnType::NVarChar, 128});
            row.push_back(sc.productVersion ? Value{*sc.productVersion} : Value{Null{}});
            continue;
        }
        if (c == 'e' || c == 'd') {
            const DatabaseDef* rds = ctx.state.findDatabase("rdsadmin");
            cols.push_back({"", ColumnType::Int, 0});
            row.push_back(c == 'e' ? Value{std::int64_t{sc.engineEdition}}
                          : rds    ? Value{std::int64_t{rds->id}}
                                   : Value{Null{}});
            continue;
        }
        if (c == 'w' || c == 'k' || c == 'm') {
            // Asked of Azure SQL Database only; 0 elsewhere.
            const bool azure = isAzureDatabase(sc);
            const bool granted = azure && (c == 'k' ? ctx.login.killDatabaseConnection
                                                    : ctx.login.viewDatabaseState);
            cols.push_back({"", ColumnType::Int, 0});
            row.emplace_back(std::int64_t{granted ? 1 : 0});
            continue;
        }
        const bool granted = c == 's'   ? ctx.login.sysadmin
                             : c == 'v' ? ctx.login.sysadmin || ctx.login.viewServerState
                             : c == 'p' ? ctx.state.scenario().majorVersion >= 16 &&
                                              (ctx.login.sysadmin || ctx.login.performanceState())
                                        : ctx.login.sysadmin || ctx.login.alterAnyConnection;
        cols.push_back({"", ColumnType::Int, 0});
        row.emplace_back(std::int64_t{granted ? 1 : 0});
    }
    writeColumnMetadata(tw, cols);
    writeRow(tw, cols, row);
    finish(tw, DoneStatus::Count, kCmdSelect, 1, end);
    return {true, false, false};
}

// sys.dm_exec_input_buffer: any session's buffer with VIEW SERVER STATE, else only the
// caller's own; an unknown or hidden session gives no row (no error, as the real function).
StatementResult dmInputBuffer(TokenWriter& tw, SessionContext& ctx, long long spid,
                              const std::string& letters, Ending end, Clock::time_point now) {
    std::vector<Column> cols;
    for (char c : letters) {
        if (c == 't') {
            cols.push_back({"event_type", ColumnType::NVarChar, 256});
        } else if (c == 'p') {
            cols.push_back({"parameters", ColumnType::SmallInt, 0});
        } else {
            cols.push_back({"event_info", ColumnType::NVarChar, 4000});
        }
    }
    writeColumnMetadata(tw, cols);
    std::optional<InputBuffer> buffer;
    const bool allowed = ctx.login.sysadmin || ctx.login.viewServerState ||
                         ctx.login.viewDatabaseState || spid == ctx.spid;
    if (allowed && spid >= -32768 && spid <= 32767) {
        buffer = ctx.state.inputBuffer(static_cast<int>(spid), now);
    }
    if (buffer) {
        std::vector<Value> row;
        for (char c : letters) {
            if (c == 't') {
                row.emplace_back(buffer->eventType);
            } else if (c == 'p') {
                row.emplace_back(std::int64_t{0});
            } else {
                row.emplace_back(buffer->text.substr(0, 4000));
            }
        }
        writeRow(tw, cols, row);
    }
    finish(tw, DoneStatus::Count, kCmdSelect, buffer ? 1 : 0, end);
    return {true, false, false};
}

StatementResult kill(TokenWriter& tw, SessionContext& ctx, long long spid, Ending end,
                     Clock::time_point now) {
    if (!ctx.login.sysadmin && !ctx.login.alterAnyConnection && !ctx.login.killDatabaseConnection) {
        sendError(tw, msg(6102, 14, 1, "User does not have permission to use the KILL statement."),
                  end);
        return {false, false, true};
    }
    if (spid < 1 || spid > 32767) {
        sendError(tw,
                  msg(6101, 16, 1,
                      "Process ID " + num(spid) +
                          " is not a valid process ID. Choose a number between 1 and 32767."),
                  end);
        return {false, false, true};
    }
    if (spid == ctx.spid) {
        sendError(tw, msg(6104, 16, 1, "Cannot use KILL to kill your own process."), end);
        return {false, false, true};
    }
    // SPIDs up to 50 are the server's own (lazy writer, log writer, ...), not a client's.
    if (spid <= 50 && !ctx.state.connectionRow(static_cast<int>(spid)) &&
        ctx.state.sessionRow(static_cast<int>(spid), now)) {
        sendError(tw, msg(6107, 14, 1, "Only user processes can be killed."), end);
        return {false, false, true};
    }
    if (ctx.state.kill(static_cast<int>(spid)) == KillResult::NotFound) {
        sendError(tw, msg(6106, 16, 2, "Process ID " + num(spid) + " is not an active process ID."),
                  end);
        return {false, false, true};
    }
    finish(tw, DoneStatus::Final, 0, 0, end);
    return {};
}

StatementResult databases(TokenWriter& tw, const SessionContext& ctx, Ending end) {
    const std::vector<Column> cols = {{"dbid", ColumnType::SmallInt, 0, false},
                                      {"name", ColumnType::NVarChar, 128, false}};
    writeColumnMetadata(tw, cols);
    for (const DatabaseDef& d : ctx.state.scenario().databases) {
        writeRow(tw, cols, {std::int64_t{d.id}, d.name});
    }
    finish(tw, DoneStatus::Count, kCmdSelect, ctx.state.scenario().databases.size(), end);
    return {true, false, false};
}

StatementResult sessionIdentity(TokenWriter& tw, const SessionContext& ctx, long long spid,
                                Ending end, Clock::time_point now) {
    const std::vector<Column> cols = {{"loginame", ColumnType::NChar, 128, false},
                                      {"hostname", ColumnType::NChar, 128, false},
                                      {"program_name", ColumnType::NChar, 128, false},
                                      {"", ColumnType::NVarChar, 23}};
    writeColumnMetadata(tw, cols);
    const SessionDef* s = spid >= -32768 && spid <= 32767
                              ? ctx.state.sessionRow(static_cast<int>(spid), now)
                              : nullptr;
    if (s && !seesEverySession(ctx) && s->spid != ctx.spid) {
        s = nullptr;
    }
    if (s) {
        writeRow(tw, cols, {s->login, s->host, s->program, ctx.state.loginTime(*s, now)});
    }
    finish(tw, DoneStatus::Count, kCmdSelect, s ? 1 : 0, end);
    return {true, false, false};
}

// A time of one session beside getdate(), both as convert(varchar(23), x, 121). sysprocesses
// gives no row for an unknown SPID; the aggregate over the transaction views always gives one
// (NULL without a transaction). Without VIEW SERVER STATE both show the caller's own session
// only.
StatementResult sessionTime(TokenWriter& tw, const SessionContext& ctx, const Statement& st,
                            Ending end, Clock::time_point now) {
    const std::vector<Column> cols = {{"", ColumnType::NVarChar, 23},
                                      {"", ColumnType::NVarChar, 23}};
    writeColumnMetadata(tw, cols);
    const bool visible = ctx.login.sysadmin || ctx.login.viewServerState || st.number == ctx.spid;
    const bool inRange = st.number >= -32768 && st.number <= 32767;
    const int spid = static_cast<int>(inRange ? st.number : 0);
    std::optional<std::string> time;
    if (visible && inRange) {
        time = st.kind == StatementKind::LastBatch ? ctx.state.lastBatch(spid, now)
                                                   : ctx.state.transactionBegin(spid, now);
    }
    std::uint64_t rows = 0;
    if (time || st.kind == StatementKind::TranBegin) {
        writeRow(tw, cols, {time ? Value{*time} : Value{Null{}}, ctx.state.serverTime()});
        rows = 1;
    }
    finish(tw, DoneStatus::Count, kCmdSelect, rows, end);
    return {true, false, false};
}

// A login without sysadmin may not read the catalogs of other databases here.
StatementResult objectNames(TokenWriter& tw, const SessionContext& ctx, const Statement& st,
                            Ending end) {
    if (!ctx.login.sysadmin) {
        sendError(tw,
                  msg(229, 14, 5,
                      "The SELECT permission was denied on the object 'partitions', database "
                      "'mssqlsystemresource', schema 'sys'."),
                  end);
        return {false, false, true};
    }
    const std::vector<Column> cols = {{"", ColumnType::NVarChar, 128},
                                      {"", ColumnType::NVarChar, 128},
                                      {"name", ColumnType::NVarChar, 128}};
    writeColumnMetadata(tw, cols);
    const bool byHobt = st.word == "hobt";
    const ObjectDef* o = ctx.state.findObject(static_cast<int>(st.number2), st.number, byHobt);
    std::uint64_t rows = 0;
    if (o) {
        writeRow(tw, cols, {o->schema, o->name, byHobt ? Value{o->index} : Value{Null{}}});
        rows = 1;
    } else if (!byHobt) {
        // object_name of an unknown id is NULL, not an empty result.
        writeRow(tw, cols, {Null{}, Null{}, Null{}});
        rows = 1;
    }
    finish(tw, DoneStatus::Count, kCmdSelect, rows, end);
    return {true, false, false};
}

std::string serverClock() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return deadlockTimestamp(ms) + "1234"; // sysutcdatetime() has seven digits
}

// The system_health ring buffer's deadlock reports at or after `since`, shredded as the
// server's XQuery would: one row per report, oldest first, at most 100. Reading it needs
// VIEW SERVER STATE (and VIEW SERVER PERFORMANCE STATE not denied), as on a real server.
StatementResult deadlockRead(TokenWriter& tw, SessionContext& ctx, long long since, long long cap,
                             Ending end, Clock::time_point now) {
    const LoginDef& login = ctx.login;
    if (!login.sysadmin && (!login.viewServerState || !login.performanceState())) {
        tw.error(msg(300, 14, 1,
                     std::string(login.viewServerState ? "VIEW SERVER PERFORMANCE STATE"
                                                       : "VIEW SERVER STATE") +
                         " permission was denied on object 'server', database 'master'."));
        sendError(tw, msg(297, 16, 1, "The user does not have permission to perform this action."),
                  end);
        return {false, false, true};
    }
    // varchar(30), nvarchar(max) (as PLP), bigint and varchar(30), as on a real server.
    const std::vector<Column> cols = {{"", ColumnType::NVarChar, 30},
                                      {"", ColumnType::NVarCharMax, 0},
                                      {"", ColumnType::BigInt, 0},
                                      {"", ColumnType::NVarChar, 30}};
    writeColumnMetadata(tw, cols);
    // Ordered by time: a report written while the clock was ahead sorts after the others.
    std::vector<const DeadlockEvent*> due;
    for (const DeadlockEvent& e : ctx.state.deadlocks(now).events()) {
        if (e.timeMs >= since) {
            due.push_back(&e);
        }
    }
    std::stable_sort(due.begin(), due.end(), [](const DeadlockEvent* a, const DeadlockEvent* b) {
        return a->timeMs < b->timeMs;
    });
    if (due.size() > 100) {
        due.resize(100);
    }
    const std::string clock = serverClock();
    const auto units = static_cast<std::size_t>(cap);
    for (const DeadlockEvent* e : due) {
        writeRow(tw, cols,
                 {deadlockTimestamp(e->timeMs), e->left(units),
                  static_cast<std::int64_t>(e->dataLength()), clock});
    }
    finish(tw, DoneStatus::Count, kCmdSelect, due.size(), end);
    return {true, false, false};
}

// sys.dm_os_wait_stats summed over the lock wait types; VIEW SERVER STATE, as the deadlock read.
StatementResult lockWaitStats(TokenWriter& tw, SessionContext& ctx, Ending end,
                              Clock::time_point now) {
    const LoginDef& login = ctx.login;
    if (!login.sysadmin && (!login.viewServerState || !login.performanceState())) {
        tw.error(msg(300, 14, 1,
                     std::string(login.viewServerState ? "VIEW SERVER PERFORMANCE STATE"
                                                       : "VIEW SERVER STATE") +
                         " permission was denied on object 'server', database 'master'."));
        sendError(tw, msg(297, 16, 1, "The user does not have permission to perform this action."),
                  end);
        return {false, false, true};
    }
    const std::vector<Column> cols = {{"", ColumnType::NVarChar, 20},
                                      {"", ColumnType::NVarChar, 20}};
    writeColumnMetadata(tw, cols);
    const LockWaitTotals totals = ctx.state.lockWaits(now);
    writeRow(tw, cols, {std::to_string(totals.waits), std::to_string(totals.waitMs)});
    finish(tw, DoneStatus::Count, kCmdSelect, 1, end);
    return {true, false, false};
}

StatementResult variable(TokenWriter& tw, SessionContext& ctx, const std::string& var, Ending end) {
    SessionDef* row = ctx.state.connectionRow(ctx.spid);
    const DatabaseDef* db = row ? ctx.state.findDatabase(row->dbid) : nullptr;
    Column text{"", ColumnType::NVarChar, 128};
    Column integer{"", ColumnType::Int, 0, false};
    if (var == "@@spid") {
        return singleValue(tw, {"", ColumnType::SmallInt, 0, false}, std::int64_t{ctx.spid}, end);
    }
    if (var == "@@servername") {
        return singleValue(tw, text, ctx.state.scenario().serverName, end);
    }
    if (var == "@@trancount") {
        return singleValue(tw, integer, std::int64_t{row ? row->openTran : 0}, end);
    }
    if (var == "@@language") {
        return singleValue(tw, text, std::string("us_english"), end);
    }
    if (var == "@@servicename") {
        return singleValue(tw, text, std::string("MSSQLSERVER"), end);
    }
    if (var == "db_name()") {
        return singleValue(tw, text, db ? Value{db->name} : Value{Null{}}, end);
    }
    if (var == "user_name()") {
        return singleValue(tw, text, std::string("dbo"), end);
    }
    if (var == "@@max_precision") {
        return singleValue(tw, {"", ColumnType::TinyInt, 0, false}, std::int64_t{38}, end);
    }
    if (var == "@@textsize") {
        return singleValue(tw, integer, std::int64_t{2147483647}, end);
    }
    return singleValue(tw, text, ctx.login.name, end); // suser_sname(), system_user
}

StatementResult use(TokenWriter& tw, SessionContext& ctx, const std::string& name, Ending end) {
    const DatabaseDef* db = ctx.state.findDatabase(name);
    if (!db) {
        sendError(tw,
                  msg(911, 16, 1,
                      "Database '" + name +
                          "' does not exist. Make sure that the name is entered correctly."),
                  end);
        return {false, false, true};
    }
    SessionDef* row = ctx.state.connectionRow(ctx.spid);
    const DatabaseDef* old = row ? ctx.state.findDatabase(row->dbid) : nullptr;
    if (row) {
        row->dbid = db->id;
    }
    tw.envChange(1, db->name, old ? old->name : "master");
    tw.info(msg(5701, 0, 1, "Changed database context to '" + db->name + "'."));
    finish(tw, DoneStatus::Final, 0, 0, end);
    return {};
}

} // namespace

void sendError(TokenWriter& tw, const ServerMessage& m, Ending end) {
    tw.error(m);
    finish(tw, DoneStatus::Error, 0, 0, end);
}

void sendError(TokenWriter& tw, const ServerMessage& m, bool inProc) {
    sendError(tw, m, inProc ? Ending::InProc : Ending::Last);
}

StatementResult executeStatement(TokenWriter& tw, SessionContext& ctx, std::string_view text,
                                 Ending end, Clock::time_point now) {
    if (StatementResult refused; refuseOnAzureDatabase(tw, ctx, text, end, refused)) {
        return refused;
    }
    Statement st = classifyStatement(text);
    switch (st.kind) {
    case StatementKind::DmProcessQuery:
    case StatementKind::DmSessionIdentity:
    case StatementKind::DmLastBatch:
    case StatementKind::ServerProperty:
    case StatementKind::CurrentDatabase:
        return executeEditionStatement(tw, ctx, st, end, now);
    case StatementKind::ProcessQuery:
        return processQuery(tw, ctx, end, now);
    case StatementKind::IsSysAdmin:
        return singleValue(tw, {"", ColumnType::Int, 0}, std::int64_t{ctx.login.sysadmin ? 1 : 0},
                           end);
    case StatementKind::InputBuffer:
        return inputBuffer(tw, ctx, st.number, end, now);
    case StatementKind::Permissions:
        return permissions(tw, ctx, st.word, end);
    case StatementKind::DmInputBuffer:
        return dmInputBuffer(tw, ctx, st.number, st.word, end, now);
    case StatementKind::Kill:
        return kill(tw, ctx, st.number, end, now);
    case StatementKind::SelectInt:
        return singleValue(tw, {"", ColumnType::Int, 0, false}, std::int64_t{st.number}, end);
    case StatementKind::Version:
        return singleValue(tw, {"", ColumnType::NVarChar, 300},
                           std::string("Microsoft SQL Server 2019 (RTM) - 15.0.2000.5 (X64) \n"
                                       "\tSep 24 2019 13:48:23 \n"
                                       "\tCopyright (C) 2019 Microsoft Corporation\n"
                                       "\tDeveloper Edition (64-bit) on Linux "
                                       "(simulated by tdssim) <X64>"),
                           end);
    case StatementKind::Variable:
        return variable(tw, ctx, st.word, end);
    case StatementKind::Use:
        return use(tw, ctx, st.word, end);
    case StatementKind::Databases:
        return databases(tw, ctx, end);
    case StatementKind::SessionIdentity:
        return sessionIdentity(tw, ctx, st.number, end, now);
    case StatementKind::ObjectNames:
        return objectNames(tw, ctx, st, end);
    case StatementKind::LastBatch:
    case StatementKind::TranBegin:
        return sessionTime(tw, ctx, st, end, now);
    case StatementKind::ServerClock:
        return singleValue(tw, {"", ColumnType::NVarChar, 30}, serverClock(), end);
    case StatementKind::DeadlockRead:
        return deadlockRead(tw, ctx, st.number, st.number2, end, now);
    case StatementKind::LockWaitStats:
        return lockWaitStats(tw, ctx, end, now);
    case StatementKind::Transaction:
        return runTransactionStatement(tw, ctx, st, end);
    case StatementKind::Set:
    case StatementKind::Empty:
        finish(tw, DoneStatus::Final, 0, 0, end);
        return {};
    case StatementKind::ProcessSelect:
        if (std::optional<ProcessSelect> q = parseProcessSelect(text)) {
            return answerProcessSelect(tw, ctx, *q, end, now);
        }
        break;
    case StatementKind::SpWho:
        if (std::optional<SpWhoCall> call = parseSpWhoStatement(text)) {
            return answerSpWho(tw, ctx, *call, end, true, now);
        }
        break;
    case StatementKind::ExecuteSql:
        if (std::optional<ExecuteSqlCall> call = parseExecuteSqlStatement(text)) {
            return executeSqlInBatch(tw, ctx, *call, end, now);
        }
        break;
    case StatementKind::Unknown:
        break;
    }
    sendError(tw, msg(102, 15, 1, "Incorrect syntax near '" + st.word + "'."), end);
    return {false, false, true};
}

} // namespace tdssim
