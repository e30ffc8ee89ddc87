#include "ProcessSelect.h"

#include "ResultSet.h"
#include "TextUtil.h"

#include <algorithm>
#include <map>

namespace tdssim {

namespace {

constexpr std::uint16_t kCmdSelect = 0xC1;

// What one row shows, computed once for the query.
struct RowView {
    const ProcessRow* row = nullptr;
    int ecid = 0;
    std::string loginTime;
    std::string lastBatch;
};

using Getter = Value (*)(const RowView&);

struct CatalogColumn {
    const char* name;
    Column column;
    Getter get;
};

Value text(const std::string* s) {
    return s ? Value{*s} : Value{Null{}};
}

Value zero(const RowView&) {
    return std::int64_t{0};
}

Value blank(const RowView&) {
    return std::string();
}

// The view's columns in its own order, with the types and nullability of its catalog:
// the documentation names blocked, uid and page_resource as possibly NULL; the rest are
// NOT NULL and go out with fixed-length types.
const std::vector<CatalogColumn>& catalog() {
    using T = ColumnType;
    static const std::vector<CatalogColumn> columns = {
        {"spid",
         {"spid", T::SmallInt, 0, false},
         [](const RowView& v) -> Value { return std::int64_t{v.row->session->spid}; }},
        {"kpid", {"kpid", T::SmallInt, 0, false}, zero},
        {"blocked",
         {"blocked", T::SmallInt, 0, true},
         [](const RowView& v) -> Value { return std::int64_t{v.row->blocked}; }},
        {"waittype", {"waittype", T::Binary, 2, false}, blank},
        {"waittime",
         {"waittime", T::BigInt, 0, false},
         [](const RowView& v) -> Value { return std::int64_t{v.row->waittime}; }},
        {"lastwaittype",
         {"lastwaittype", T::NChar, 32, false},
         [](const RowView& v) { return text(v.row->waitType); }},
        {"waitresource",
         {"waitresource", T::NChar, 256, false},
         [](const RowView& v) { return text(v.row->waitResource); }},
        {"dbid",
         {"dbid", T::SmallInt, 0, false},
         [](const RowView& v) -> Value { return std::int64_t{v.row->session->dbid}; }},
        {"uid",
         {"uid", T::SmallInt, 0, true},
         [](const RowView&) -> Value { return std::int64_t{1}; }},
        {"cpu",
         {"cpu", T::Int, 0, false},
         [](const RowView& v) -> Value { return std::int64_t{v.row->session->cpu}; }},
        {"physical_io",
         {"physical_io", T::BigInt, 0, false},
         [](const RowView& v) -> Value { return std::int64_t{v.row->session->io}; }},
        {"memusage",
         {"memusage", T::Int, 0, false},
         [](const RowView& v) -> Value { return std::int64_t{v.row->session->memory}; }},
        {"login_time",
         {"login_time", T::DateTime, 0, false},
         [](const RowView& v) -> Value { return v.loginTime; }},
        {"last_batch",
         {"last_batch", T::DateTime, 0, false},
         [](const RowView& v) -> Value { return v.lastBatch; }},
        {"ecid",
         {"ecid", T::SmallInt, 0, false},
         [](const RowView& v) -> Value { return std::int64_t{v.ecid}; }},
        {"open_tran",
         {"open_tran", T::SmallInt, 0, false},
         [](const RowView& v) -> Value { return std::int64_t{v.row->session->openTran}; }},
        {"status",
         {"status", T::NChar, 30, false},
         [](const RowView& v) { return text(v.row->status); }},
        {"sid", {"sid", T::Binary, 86, false}, blank},
        {"hostname",
         {"hostname", T::NChar, 128, false},
         [](const RowView& v) -> Value { return v.row->session->host; }},
        {"program_name",
         {"program_name", T::NChar, 128, false},
         [](const RowView& v) -> Value { return v.row->session->program; }},
        {"hostprocess", {"hostprocess", T::NChar, 10, false}, blank},
        {"cmd",
         {"cmd", T::NChar, 16, false},
         [](const RowView& v) { return text(v.row->command); }},
        {"nt_domain", {"nt_domain", T::NChar, 128, false}, blank},
        {"nt_username", {"nt_username", T::NChar, 128, false}, blank},
        {"net_address", {"net_address", T::NChar, 12, false}, blank},
        {"net_library", {"net_library", T::NChar, 12, false}, blank},
        {"loginame",
         {"loginame", T::NChar, 128, false},
         [](const RowView& v) -> Value { return v.row->session->login; }},
        {"context_info", {"context_info", T::Binary, 128, false}, blank},
        {"sql_handle", {"sql_handle", T::Binary, 20, false}, blank},
        {"stmt_start", {"stmt_start", T::Int, 0, false}, zero},
        {"stmt_end", {"stmt_end", T::Int, 0, false}, zero},
        {"request_id", {"request_id", T::Int, 0, false}, zero},
        {"page_resource",
         {"page_resource", T::Binary, 8, true},
         [](const RowView&) -> Value { return Null{}; }},
    };
    return columns;
}

bool compare(long long a, const std::string& op, long long b) {
    if (op == "=") {
        return a == b;
    }
    if (op == "<>" || op == "!=") {
        return a != b;
    }
    if (op == "<") {
        return a < b;
    }
    if (op == ">") {
        return a > b;
    }
    if (op == "<=" || op == "!>") {
        return a <= b;
    }
    return a >= b; // >= and !<
}

// NULL sorts first, numbers by value, text by its characters (blanks at the end ignored).
bool lessValue(const Value& a, const Value& b) {
    if (a.index() != b.index()) {
        return a.index() < b.index();
    }
    if (const auto* x = std::get_if<std::int64_t>(&a)) {
        return *x < std::get<std::int64_t>(b);
    }
    if (const auto* x = std::get_if<std::string>(&a)) {
        std::string l = lowerAscii(*x);
        std::string r = lowerAscii(std::get<std::string>(b));
        while (!l.empty() && l.back() == ' ') {
            l.pop_back();
        }
        while (!r.empty() && r.back() == ' ') {
            r.pop_back();
        }
        return l < r;
    }
    return false;
}

// ORDER BY -column sorts by the integer's negation; NULL stays NULL.
Value orderKey(Value v, bool negated) {
    if (const auto* n = std::get_if<std::int64_t>(&v); n && negated) {
        return -*n;
    }
    return v;
}

void finish(TokenWriter& tw, std::uint16_t status, std::uint64_t rows, Ending end) {
    if (end == Ending::InProc) {
        tw.doneInProc(static_cast<std::uint16_t>(status | DoneStatus::More), kCmdSelect, rows);
    } else {
        tw.done(static_cast<std::uint16_t>(status | (end == Ending::More ? DoneStatus::More : 0)),
                kCmdSelect, rows);
    }
}

// The rows the caller may see, in SPID order (as the view gives them without ORDER BY),
// with each SPID's execution context numbered.
std::vector<RowView> visibleRows(const std::vector<ProcessRow>& rows, const SessionContext& ctx,
                                 Clock::time_point now) {
    std::vector<RowView> views;
    views.reserve(rows.size());
    std::map<int, int> ecids;
    for (const ProcessRow& r : rows) {
        const SessionDef& s = *r.session;
        if (!ctx.login.viewServerState && !ctx.login.sysadmin && s.spid != ctx.spid) {
            continue;
        }
        views.push_back(
            {&r, ecids[s.spid]++, ctx.state.loginTime(s, now), ctx.state.lastBatch(s, now)});
    }
    std::stable_sort(views.begin(), views.end(), [](const RowView& a, const RowView& b) {
        return a.row->session->spid < b.row->session->spid;
    });
    return views;
}

} // namespace

std::optional<std::size_t> findProcessColumn(const std::string& name) {
    const auto& cols = catalog();
    for (std::size_t i = 0; i < cols.size(); ++i) {
        if (name == cols[i].name) {
            return i;
        }
    }
    return std::nullopt;
}

bool isIntegerProcessColumn(std::size_t index) {
    const Column& c = catalog().at(index).column;
    return c.type == ColumnType::TinyInt || c.type == ColumnType::SmallInt ||
           c.type == ColumnType::Int || c.type == ColumnType::BigInt;
}

std::size_t processColumnCount() {
    return catalog().size();
}

const char* processColumnName(std::size_t index) {
    return catalog().at(index).name;
}

StatementResult answerProcessSelect(TokenWriter& tw, SessionContext& ctx, const ProcessSelect& q,
                                    Ending end, Clock::time_point now) {
    if (q.error) {
        sendError(tw, *q.error, end);
        return {false, false, true};
    }
    const auto& cat = catalog();
    std::vector<Column> cols;
    for (std::size_t i = 0; i < q.columns.size(); ++i) {
        Column c = cat[q.columns[i]].column;
        c.name = q.names[i];
        cols.push_back(std::move(c));
    }
    writeColumnMetadata(tw, cols);
    const std::vector<ProcessRow> rows = ctx.state.processRows(now, ctx.spid);
    std::vector<RowView> views = visibleRows(rows, ctx, now);
    std::erase_if(views, [&](const RowView& v) {
        for (const ProcessSelect::Condition& c : q.where) {
            const Value value = cat[c.column].get(v);
            const auto* n = std::get_if<std::int64_t>(&value);
            if (!n || !compare(*n, c.op, c.value)) {
                return true; // a comparison with NULL is not true
            }
        }
        return false;
    });
    if (!q.orderBy.empty()) {
        std::stable_sort(views.begin(), views.end(), [&](const RowView& a, const RowView& b) {
            for (const ProcessSelect::Order& o : q.orderBy) {
                const Value x = orderKey(cat[o.column].get(a), o.negated);
                const Value y = orderKey(cat[o.column].get(b), o.negated);
                if (lessValue(x, y)) {
                    return !o.descending;
                }
                if (lessValue(y, x)) {
                    return o.descending;
                }
            }
            return false;
        });
    }
    std::vector<std::vector<Value>> result;
    result.reserve(views.size());
    for (const RowView& v : views) {
        std::vector<Value> row;
        for (std::size_t c : q.columns) {
            row.push_back(cat[c].get(v));
        }
        if (q.distinct && std::find(result.begin(), result.end(), row) != result.end()) {
            continue;
        }
        result.push_back(std::move(row));
    }
    if (q.top) {
        // TOP n PERCENT rounds up, as the server does.
        const std::size_t limit =
            q.topPercent ? static_cast<std::size_t>(
                               (result.size() * static_cast<std::size_t>(*q.top) + 99) / 100)
                         : static_cast<std::size_t>(*q.top);
        if (limit < result.size()) {
            result.resize(limit);
        }
    }
    for (const std::vector<Value>& row : result) {
        writeRow(tw, cols, row);
    }
    finish(tw, DoneStatus::Count, result.size(), end);
    return {true, false, false};
}

StatementResult answerSpWho(TokenWriter& tw, SessionContext& ctx, const SpWhoCall& call, Ending end,
                            bool inBatch, Clock::time_point now) {
    using T = ColumnType;
    // As sp_who declares its result: blk is char(5) there (sent here as nchar(5)); cmd is
    // nchar(26) from SQL Server 2019 on.
    static const std::vector<Column> cols = {
        {"spid", T::SmallInt, 0, false},    {"ecid", T::SmallInt, 0, false},
        {"status", T::NChar, 30, false},    {"loginame", T::NChar, 128, true},
        {"hostname", T::NChar, 128, false}, {"blk", T::NChar, 5, true},
        {"dbname", T::NChar, 128, true},    {"cmd", T::NChar, 26, false},
        {"request_id", T::Int, 0, false},
    };
    const std::vector<ProcessRow> rows = ctx.state.processRows(now, ctx.spid);
    std::vector<RowView> views = visibleRows(rows, ctx, now);
    std::optional<std::string> filter;
    if (call.text) {
        filter = lowerAscii(trim(*call.text));
    }
    const bool byNumber =
        call.spid.has_value() ||
        (filter && !filter->empty() &&
         std::all_of(filter->begin(), filter->end(), [](char c) { return c >= '0' && c <= '9'; }));
    long long spid = call.spid.value_or(0);
    if (byNumber && !call.spid) {
        parseInteger(*filter, spid);
    }
    std::erase_if(views, [&](const RowView& v) {
        const SessionDef& s = *v.row->session;
        if (byNumber) {
            return s.spid != spid;
        }
        if (filter && *filter == "active") {
            const std::string status = lowerAscii(*v.row->status);
            return status == "sleeping" && *v.row->command == "AWAITING COMMAND";
        }
        if (filter && !filter->empty()) {
            return lowerAscii(s.login) != *filter;
        }
        return false;
    });
    writeColumnMetadata(tw, cols);
    for (const RowView& v : views) {
        const SessionDef& s = *v.row->session;
        writeRow(tw, cols,
                 {std::int64_t{s.spid}, std::int64_t{v.ecid}, *v.row->status, s.login, s.host,
                  std::to_string(v.row->blocked),
                  v.row->databaseName ? Value{*v.row->databaseName} : Value{Null{}},
                  *v.row->command, std::int64_t{0}});
    }
    tw.doneInProc(static_cast<std::uint16_t>(DoneStatus::More | DoneStatus::Count), kCmdSelect,
                  views.size());
    if (inBatch) {
        tw.returnStatus(0);
        const std::uint16_t more = end == Ending::Last ? 0 : DoneStatus::More;
        tw.doneProc(more, 0, 0);
    }
    return {true, false, false};
}

} // namespace tdssim
