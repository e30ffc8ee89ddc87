#include "Editions.h"

#include "ResultSet.h"
#include "ServerState.h"
#include "TextUtil.h"

#include <algorithm>
#include <map>
#include <regex>

namespace tdssim {

const char* const kDmProcessQuery =
    "select s.session_id, isnull(r.blocking_session_id, 0), db_name(), isnull(r.wait_time, 0), "
    "isnull(r.last_wait_type, N''), isnull(r.wait_resource, N''), s.open_transaction_count, "
    "isnull(r.status, s.status), s.host_name, s.program_name, "
    "isnull(r.command, N'AWAITING COMMAND'), s.login_name, s.cpu_time, s.reads + s.writes, "
    "s.memory_usage\r\n"
    "from sys.dm_exec_sessions s left outer join sys.dm_exec_requests r on r.session_id = "
    "s.session_id\r\n"
    "order by 2, 4";

namespace {

constexpr std::uint16_t kCmdSelect = 0xC1;

ServerMessage message(int number, int severity, std::string text) {
    ServerMessage m;
    m.number = number;
    m.severity = static_cast<std::uint8_t>(severity);
    m.state = 1;
    m.text = std::move(text);
    return m;
}

void finishRows(TokenWriter& tw, std::uint64_t rows, Ending end) {
    const auto status = static_cast<std::uint16_t>(DoneStatus::Count);
    if (end == Ending::InProc) {
        tw.doneInProc(static_cast<std::uint16_t>(status | DoneStatus::More), kCmdSelect, rows);
    } else {
        tw.done(static_cast<std::uint16_t>(status | (end == Ending::More ? DoneStatus::More : 0)),
                kCmdSelect, rows);
    }
}

bool nameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '[' || c == ']' || c == '#' || c == '$' || c == '@';
}

// Every session of the connected database is visible with VIEW DATABASE STATE; without it
// only the caller's own. On the other editions, as sysprocesses shows them.
bool seesSession(const SessionContext& ctx, const SessionDef& s) {
    const LoginDef& l = ctx.login;
    if (s.spid == ctx.spid) {
        return true;
    }
    if (isAzureDatabase(ctx.state.scenario())) {
        return l.viewDatabaseState;
    }
    return l.sysadmin || l.viewServerState ||
           (l.performanceState() && ctx.state.scenario().majorVersion >= 16);
}

int connectedDatabase(SessionContext& ctx) {
    const SessionDef* row = ctx.state.connectionRow(ctx.spid);
    return row ? row->dbid : 1;
}

Value textOrNull(const std::string& s) {
    return s.empty() ? Value{Null{}} : Value{s};
}

StatementResult dmProcessQuery(TokenWriter& tw, SessionContext& ctx, Ending end,
                               Clock::time_point now) {
    const std::vector<Column> cols = {
        {"session_id", ColumnType::SmallInt, 0, false},
        {"", ColumnType::SmallInt, 0, false},
        {"", ColumnType::NVarChar, 128},
        {"", ColumnType::Int, 0, false},
        {"", ColumnType::NVarChar, 60, false},
        {"", ColumnType::NVarChar, 256, false},
        {"open_transaction_count", ColumnType::Int, 0, false},
        {"", ColumnType::NVarChar, 30, false},
        {"host_name", ColumnType::NVarChar, 128},
        {"program_name", ColumnType::NVarChar, 128},
        {"", ColumnType::NVarChar, 32, false},
        {"login_name", ColumnType::NVarChar, 128, false},
        {"cpu_time", ColumnType::Int, 0, false},
        {"", ColumnType::BigInt, 0},
        {"memory_usage", ColumnType::Int, 0, false},
    };
    writeColumnMetadata(tw, cols);
    const bool azure = isAzureDatabase(ctx.state.scenario());
    const int dbid = connectedDatabase(ctx);
    const DatabaseDef* db = ctx.state.findDatabase(dbid);
    // One row a session, as a session has at most one request: a blocked worker thread
    // speaks for its session.
    std::vector<ProcessRow> rows = ctx.state.processRows(now, ctx.spid);
    std::map<int, std::size_t> first;
    std::vector<ProcessRow> sessions;
    for (const ProcessRow& r : rows) {
        const auto [at, fresh] = first.emplace(r.session->spid, sessions.size());
        if (fresh) {
            sessions.push_back(r);
        } else if (sessions[at->second].blocked == 0 && r.blocked != 0) {
            sessions[at->second] = r;
        }
    }
    std::uint64_t count = 0;
    for (const ProcessRow& r : sessions) {
        const SessionDef& s = *r.session;
        if ((azure && s.dbid != dbid && s.spid != ctx.spid) || !seesSession(ctx, s)) {
            continue;
        }
        const std::string& dbName = azure ? (db ? db->name : std::string())
                                          : (r.databaseName ? *r.databaseName : std::string());
        writeRow(tw, cols,
                 {std::int64_t{s.spid}, std::int64_t{r.blocked}, textOrNull(dbName),
                  std::int64_t{r.waittime}, *r.waitType, *r.waitResource, std::int64_t{s.openTran},
                  *r.status, textOrNull(s.host), textOrNull(s.program), *r.command, s.login,
                  std::int64_t{s.cpu}, std::int64_t{s.io}, std::int64_t{s.memory}});
        ++count;
    }
    finishRows(tw, count, end);
    return {true, true, false};
}

StatementResult dmSession(TokenWriter& tw, SessionContext& ctx, const Statement& st, Ending end,
                          Clock::time_point now) {
    const bool identity = st.kind == StatementKind::DmSessionIdentity;
    std::vector<Column> cols;
    if (identity) {
        cols = {{"login_name", ColumnType::NVarChar, 128, false},
                {"host_name", ColumnType::NVarChar, 128},
                {"program_name", ColumnType::NVarChar, 128},
                {"", ColumnType::NVarChar, 23}};
    } else {
        cols = {{"", ColumnType::NVarChar, 23}, {"", ColumnType::NVarChar, 23}};
    }
    writeColumnMetadata(tw, cols);
    const SessionDef* s = st.number >= -32768 && st.number <= 32767
                              ? ctx.state.sessionRow(static_cast<int>(st.number), now)
                              : nullptr;
    if (s &&
        (!seesSession(ctx, *s) || (isAzureDatabase(ctx.state.scenario()) &&
                                   s->dbid != connectedDatabase(ctx) && s->spid != ctx.spid))) {
        s = nullptr;
    }
    std::uint64_t rows = 0;
    if (s && identity) {
        writeRow(
            tw, cols,
            {s->login, textOrNull(s->host), textOrNull(s->program), ctx.state.loginTime(*s, now)});
        rows = 1;
    } else if (s) {
        const std::optional<std::string> last = ctx.state.lastBatch(s->spid, now);
        writeRow(tw, cols, {last ? Value{*last} : Value{Null{}}, ctx.state.serverTime()});
        rows = 1;
    }
    finishRows(tw, rows, end);
    return {true, false, false};
}

StatementResult serverProperty(TokenWriter& tw, SessionContext& ctx, const std::string& name,
                               Ending end) {
    const Scenario& sc = ctx.state.scenario();
    if (name == "engineedition") {
        writeColumnMetadata(tw, {{"", ColumnType::Int, 0}});
        writeRow(tw, {{"", ColumnType::Int, 0}}, {std::int64_t{sc.engineEdition}});
    } else {
        const std::vector<Column> cols = {{"", ColumnType::NVarChar, 128}};
        writeColumnMetadata(tw, cols);
        writeRow(tw, cols, {sc.productVersion ? Value{*sc.productVersion} : Value{Null{}}});
    }
    finishRows(tw, 1, end);
    return {true, false, false};
}

StatementResult currentDatabase(TokenWriter& tw, SessionContext& ctx, Ending end) {
    const std::vector<Column> cols = {{"", ColumnType::SmallInt, 0},
                                      {"", ColumnType::NVarChar, 128}};
    writeColumnMetadata(tw, cols);
    const int dbid = connectedDatabase(ctx);
    const DatabaseDef* db = ctx.state.findDatabase(dbid);
    writeRow(
        tw, cols,
        {db ? Value{std::int64_t{dbid}} : Value{Null{}}, db ? Value{db->name} : Value{Null{}}});
    finishRows(tw, 1, end);
    return {true, false, false};
}

bool numberAtEnd(const std::string& s, const std::string& head, long long& out) {
    if (s.size() <= head.size() || s.compare(0, head.size(), head) != 0) {
        return false;
    }
    return parseInteger(trim(s.substr(head.size())), out);
}

} // namespace

void prepareEdition(Scenario& sc) {
    if (sc.rds && !sc.databases.empty()) {
        int id = 0;
        for (const DatabaseDef& d : sc.databases) {
            id = std::max(id, d.id);
        }
        if (std::none_of(sc.databases.begin(), sc.databases.end(),
                         [](const DatabaseDef& d) { return d.name == "rdsadmin"; })) {
            sc.databases.push_back({id + 1, "rdsadmin"});
        }
    }
    for (LoginDef& l : sc.logins) {
        if (isAzureDatabase(sc)) {
            // The server admin holds every database-level permission, no server role.
            if (l.sysadmin) {
                l.viewDatabaseState = true;
                l.killDatabaseConnection = true;
            }
            l.sysadmin = false;
            l.viewServerState = false;
            l.alterAnyConnection = false;
            l.viewServerPerformanceState = false;
        } else if (sc.rds && l.sysadmin) {
            // The master login: never sysadmin, but VIEW SERVER STATE and ALTER ANY
            // CONNECTION.
            l.sysadmin = false;
            l.viewServerState = true;
            l.alterAnyConnection = true;
        }
    }
}

bool isAzureDatabase(const Scenario& scenario) {
    return scenario.engineEdition == 5;
}

std::optional<std::string> masterReference(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* form : {"master.", "[master]."}) {
        std::size_t at = 0;
        const std::string_view f(form);
        while ((at = lower.find(f, at)) != std::string::npos) {
            const bool boundary = at == 0 || !nameChar(lower[at - 1]);
            if (boundary) {
                std::size_t end = at;
                while (end < text.size() && end - at < 200 && nameChar(text[end])) {
                    ++end;
                }
                return std::string(text.substr(at, end - at));
            }
            at += f.size();
        }
    }
    return std::nullopt;
}

bool classifyEditionStatement(const std::string& s, Statement& st) {
    static const std::string dmProcess = normalizeSql(kDmProcessQuery);
    if (s == dmProcess) {
        st.kind = StatementKind::DmProcessQuery;
        return true;
    }
    if (numberAtEnd(s,
                    "select login_name, host_name, program_name, convert(varchar(23), "
                    "login_time, 121) from sys.dm_exec_sessions where session_id =",
                    st.number)) {
        st.kind = StatementKind::DmSessionIdentity;
        return true;
    }
    if (numberAtEnd(s,
                    "select convert(varchar(23), last_request_start_time, 121), "
                    "convert(varchar(23), getdate(), 121) from sys.dm_exec_sessions where "
                    "session_id =",
                    st.number)) {
        st.kind = StatementKind::DmLastBatch;
        return true;
    }
    for (const char* p : {"engineedition", "productversion"}) {
        const std::string name(p);
        if (s == "select serverproperty('" + name + "')" ||
            s == "select convert(int, serverproperty('" + name + "'))" ||
            s == "select convert(nvarchar(128), serverproperty('" + name + "'))") {
            st.kind = StatementKind::ServerProperty;
            st.word = name;
            return true;
        }
    }
    if (s == "select db_id(), db_name()") {
        st.kind = StatementKind::CurrentDatabase;
        return true;
    }
    return false;
}

bool refuseOnAzureDatabase(TokenWriter& tw, SessionContext& ctx, std::string_view text, Ending end,
                           StatementResult& result) {
    if (!isAzureDatabase(ctx.state.scenario())) {
        return false;
    }
    if (const std::optional<std::string> name = masterReference(text)) {
        sendError(tw,
                  message(40515, 15,
                          "Reference to database and/or server name in '" + *name +
                              "' is not supported in this version of SQL Server."),
                  end);
        result = {false, false, true};
        return true;
    }
    const std::string s = normalizeSql(text);
    if (s.rfind("use ", 0) == 0) {
        sendError(tw,
                  message(40508, 16,
                          "USE statement is not supported to switch between databases. Use a new "
                          "connection to connect to a different database."),
                  end);
        result = {false, false, true};
        return true;
    }
    // The server-scoped event session views (and with them system_health) do not exist.
    for (const char* view : {"sys.dm_xe_sessions", "sys.dm_xe_session_targets"}) {
        if (s.find(view) != std::string::npos) {
            sendError(tw, message(208, 16, "Invalid object name '" + std::string(view) + "'."),
                      end);
            result = {false, false, true};
            return true;
        }
    }
    return false;
}

StatementResult executeEditionStatement(TokenWriter& tw, SessionContext& ctx, const Statement& st,
                                        Ending end, Clock::time_point now) {
    switch (st.kind) {
    case StatementKind::DmProcessQuery:
        return dmProcessQuery(tw, ctx, end, now);
    case StatementKind::DmSessionIdentity:
    case StatementKind::DmLastBatch:
        return dmSession(tw, ctx, st, end, now);
    case StatementKind::ServerProperty:
        return serverProperty(tw, ctx, st.word, end);
    default:
        return currentDatabase(tw, ctx, end);
    }
}

} // namespace tdssim
