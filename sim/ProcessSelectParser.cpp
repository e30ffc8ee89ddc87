#include "ProcessSelect.h"

#include "ResultSet.h"
#include "TextUtil.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace tdssim {

namespace {

constexpr std::uint16_t kCmdSelect = 0xC1;
constexpr std::size_t kMaxText = 4000; // longer texts are nobody's plain SELECT

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

std::optional<std::size_t> findColumn(const std::string& name) {
    const auto& cols = catalog();
    for (std::size_t i = 0; i < cols.size(); ++i) {
        if (name == cols[i].name) {
            return i;
        }
    }
    return std::nullopt;
}

bool isIntegerColumn(const Column& c) {
    return c.type == ColumnType::TinyInt || c.type == ColumnType::SmallInt ||
           c.type == ColumnType::Int || c.type == ColumnType::BigInt;
}

// Words (lower case, brackets and quotes removed), numbers and punctuation.
struct Token {
    enum Kind { Word, Number, String, Punct } kind;
    std::string text;
};

std::optional<std::vector<Token>> tokenize(std::string_view s) {
    std::vector<Token> out;
    std::size_t i = 0;
    auto isWordChar = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '@' ||
               c == '#' || c == '$';
    };
    while (i < s.size()) {
        const char c = s[i];
        if (std::isspace(static_cast<unsigned char>(c)) != 0) {
            ++i;
        } else if (c == '[' || c == '"') {
            const char close = c == '[' ? ']' : '"';
            const std::size_t end = s.find(close, i + 1);
            if (end == std::string_view::npos) {
                return std::nullopt;
            }
            out.push_back({Token::Word, lowerAscii(s.substr(i + 1, end - i - 1))});
            i = end + 1;
        } else if (c == '\'' || ((c == 'n' || c == 'N') && i + 1 < s.size() && s[i + 1] == '\'')) {
            std::size_t j = c == '\'' ? i + 1 : i + 2;
            std::string value;
            for (;; ++j) {
                if (j >= s.size()) {
                    return std::nullopt;
                }
                if (s[j] == '\'') {
                    if (j + 1 < s.size() && s[j + 1] == '\'') {
                        value += '\'';
                        ++j;
                        continue;
                    }
                    break;
                }
                value += s[j];
            }
            out.push_back({Token::String, value});
            i = j + 1;
        } else if (std::isdigit(static_cast<unsigned char>(c)) != 0) {
            std::size_t j = i;
            while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j])) != 0) {
                ++j;
            }
            if (j < s.size() && isWordChar(s[j])) {
                return std::nullopt; // 12abc
            }
            out.push_back({Token::Number, std::string(s.substr(i, j - i))});
            i = j;
        } else if (isWordChar(c)) {
            std::size_t j = i;
            while (j < s.size() && isWordChar(s[j])) {
                ++j;
            }
            out.push_back({Token::Word, lowerAscii(s.substr(i, j - i))});
            i = j;
        } else {
            static const char* const two[] = {"<>", "!=", "<=", ">=", "!<", "!>"};
            std::string p(1, c);
            for (const char* t : two) {
                if (s.substr(i, 2) == t) {
                    p = t;
                }
            }
            if (p.size() == 1 && std::string_view(",.*=<>();-").find(c) == std::string_view::npos) {
                return std::nullopt;
            }
            out.push_back({Token::Punct, p});
            i += p.size();
        }
    }
    while (!out.empty() && out.back().kind == Token::Punct && out.back().text == ";") {
        out.pop_back();
    }
    return out;
}

class Parser {
public:
    explicit Parser(std::vector<Token> t) : t_(std::move(t)) {}

    bool atEnd() const { return i_ >= t_.size(); }
    bool peekWord(const char* w, std::size_t ahead = 0) const {
        return i_ + ahead < t_.size() && t_[i_ + ahead].kind == Token::Word &&
               t_[i_ + ahead].text == w;
    }
    bool peekPunct(const char* p, std::size_t ahead = 0) const {
        return i_ + ahead < t_.size() && t_[i_ + ahead].kind == Token::Punct &&
               t_[i_ + ahead].text == p;
    }
    bool word(const char* w) {
        if (peekWord(w)) {
            ++i_;
            return true;
        }
        return false;
    }
    bool punct(const char* p) {
        if (peekPunct(p)) {
            ++i_;
            return true;
        }
        return false;
    }
    std::optional<std::string> anyWord() {
        if (!atEnd() && t_[i_].kind == Token::Word) {
            return t_[i_++].text;
        }
        return std::nullopt;
    }
    std::optional<long long> number() {
        const bool negative = punct("-");
        if (atEnd() || t_[i_].kind != Token::Number) {
            return std::nullopt;
        }
        long long v = 0;
        if (!parseInteger(t_[i_].text, v)) {
            return std::nullopt;
        }
        ++i_;
        return negative ? -v : v;
    }
    std::optional<std::string> string() {
        if (!atEnd() && t_[i_].kind == Token::String) {
            return t_[i_++].text;
        }
        return std::nullopt;
    }
    // name, or qualifier.name: the qualifier (a table alias) is not checked.
    std::optional<std::string> columnRef() {
        std::optional<std::string> name = anyWord();
        if (name && punct(".")) {
            name = anyWord();
        }
        return name;
    }

private:
    std::vector<Token> t_;
    std::size_t i_ = 0;
};

bool isKeyword(const std::string& w) {
    return w == "from" || w == "where" || w == "order" || w == "and" || w == "or" || w == "group" ||
           w == "join" || w == "left" || w == "inner" || w == "union" || w == "as" || w == "asc" ||
           w == "desc" || w == "by" || w == "on";
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

// The tokens of a text short enough to be somebody's plain statement.
std::optional<Parser> parserFor(std::string_view sql) {
    if (sql.size() > kMaxText) {
        return std::nullopt;
    }
    std::optional<std::vector<Token>> tokens = tokenize(sql);
    if (!tokens) {
        return std::nullopt;
    }
    return Parser(std::move(*tokens));
}

} // namespace

std::optional<ProcessSelect> parseProcessSelect(std::string_view sql) {
    std::optional<Parser> parsed = parserFor(sql);
    if (!parsed) {
        return std::nullopt;
    }
    Parser& p = *parsed;
    ProcessSelect q;
    if (!p.word("select")) {
        return std::nullopt;
    }
    if (p.word("top")) {
        const bool parens = p.punct("(");
        q.top = p.number();
        if (!q.top || *q.top < 0 || (parens && !p.punct(")"))) {
            return std::nullopt;
        }
    }
    std::vector<std::string> wanted; // column names as written, checked once FROM is known
    std::vector<std::string> aliases;
    do {
        if (p.punct("*")) {
            wanted.emplace_back("*");
            aliases.emplace_back();
            continue;
        }
        if (p.peekPunct(".", 1) && p.peekPunct("*", 2)) { // p.*
            p.anyWord();
            p.punct(".");
            p.punct("*");
            wanted.emplace_back("*");
            aliases.emplace_back();
            continue;
        }
        std::optional<std::string> col = p.columnRef();
        if (!col || isKeyword(*col)) {
            return std::nullopt;
        }
        std::string alias;
        if (p.word("as")) {
            std::optional<std::string> a = p.anyWord();
            if (!a) {
                return std::nullopt;
            }
            alias = *a;
        } else if (!p.peekWord("from") && !p.peekPunct(",")) {
            std::optional<std::string> a = p.anyWord();
            if (!a || isKeyword(*a)) {
                return std::nullopt;
            }
            alias = *a;
        }
        wanted.push_back(*col);
        aliases.push_back(alias);
    } while (p.punct(","));
    if (!p.word("from")) {
        return std::nullopt;
    }
    // sysprocesses, dbo.sysprocesses, sys.sysprocesses, master..sysprocesses,
    // master.dbo.sysprocesses, master.sys.sysprocesses
    std::vector<std::string> parts{""};
    for (;;) {
        if (p.punct(".")) {
            parts.emplace_back();
            continue;
        }
        if (!parts.back().empty()) {
            break;
        }
        std::optional<std::string> w = p.anyWord();
        if (!w) {
            break;
        }
        parts.back() = *w;
    }
    const std::string table = [&] {
        std::string t;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            t += (i ? "." : "") + parts[i];
        }
        return t;
    }();
    static const char* const names[] = {
        "sysprocesses",         "dbo.sysprocesses",        "sys.sysprocesses",
        "master..sysprocesses", "master.dbo.sysprocesses", "master.sys.sysprocesses"};
    if (std::none_of(std::begin(names), std::end(names),
                     [&](const char* n) { return table == n; })) {
        return std::nullopt;
    }
    if (p.word("as")) {
        if (!p.anyWord()) {
            return std::nullopt;
        }
    } else if (!p.atEnd() && !p.peekWord("where") && !p.peekWord("order")) {
        std::optional<std::string> alias = p.anyWord();
        if (!alias || isKeyword(*alias)) {
            return std::nullopt;
        }
    }
    auto resolve = [&](const std::string& name) -> std::optional<std::size_t> {
        std::optional<std::size_t> c = findColumn(name);
        if (!c && q.invalidColumn.empty()) {
            q.invalidColumn = name;
        }
        return c;
    };
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (wanted[i] == "*") {
            for (std::size_t c = 0; c < catalog().size(); ++c) {
                q.columns.push_back(c);
                q.names.emplace_back(catalog()[c].name);
            }
        } else if (std::optional<std::size_t> c = resolve(wanted[i])) {
            q.columns.push_back(*c);
            q.names.push_back(aliases[i].empty() ? catalog()[*c].name : aliases[i]);
        }
    }
    if (p.word("where")) {
        do {
            std::optional<std::string> col = p.columnRef();
            if (!col) {
                return std::nullopt;
            }
            ProcessSelect::Condition cond;
            for (const char* op : {"=", "<>", "!=", "<=", ">=", "<", ">", "!<", "!>"}) {
                if (p.punct(op)) {
                    cond.op = op;
                    break;
                }
            }
            std::optional<long long> value = p.number();
            if (cond.op.empty() || !value) {
                return std::nullopt;
            }
            cond.value = *value;
            if (std::optional<std::size_t> c = resolve(*col)) {
                cond.column = *c;
                if (!isIntegerColumn(catalog()[*c].column)) {
                    return std::nullopt; // only integer comparisons are answered
                }
                q.where.push_back(cond);
            }
        } while (p.word("and"));
    }
    if (p.word("order")) {
        if (!p.word("by")) {
            return std::nullopt;
        }
        do {
            ProcessSelect::Order o;
            if (std::optional<long long> ordinal = p.number()) {
                if (*ordinal < 1 || static_cast<std::size_t>(*ordinal) > q.columns.size()) {
                    if (q.invalidColumn.empty()) {
                        q.invalidColumn = std::to_string(*ordinal);
                    }
                } else {
                    o.column = q.columns[static_cast<std::size_t>(*ordinal - 1)];
                }
            } else {
                std::optional<std::string> col = p.columnRef();
                if (!col) {
                    return std::nullopt;
                }
                // An output alias names its column too.
                auto alias = std::find(q.names.begin(), q.names.end(), *col);
                if (alias != q.names.end()) {
                    o.column = q.columns[static_cast<std::size_t>(alias - q.names.begin())];
                } else if (std::optional<std::size_t> c = resolve(*col)) {
                    o.column = *c;
                }
            }
            if (p.word("desc")) {
                o.descending = true;
            } else {
                p.word("asc");
            }
            q.orderBy.push_back(o);
        } while (p.punct(","));
    }
    if (!p.atEnd()) {
        return std::nullopt;
    }
    return q;
}

StatementResult answerProcessSelect(TokenWriter& tw, SessionContext& ctx, const ProcessSelect& q,
                                    Ending end, Clock::time_point now) {
    if (!q.invalidColumn.empty()) {
        ServerMessage m;
        m.number = 207;
        m.severity = 16;
        m.state = 1;
        m.text = "Invalid column name '" + q.invalidColumn + "'.";
        sendError(tw, m, end);
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
                const Value x = cat[o.column].get(a);
                const Value y = cat[o.column].get(b);
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
    if (q.top && static_cast<std::size_t>(*q.top) < views.size()) {
        views.resize(static_cast<std::size_t>(*q.top));
    }
    std::vector<Value> row;
    for (const RowView& v : views) {
        row.clear();
        for (std::size_t c : q.columns) {
            row.push_back(cat[c].get(v));
        }
        writeRow(tw, cols, row);
    }
    finish(tw, DoneStatus::Count, views.size(), end);
    return {true, false, false};
}

bool isSpWhoName(std::string_view procName) {
    std::string name = lowerAscii(trim(procName));
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    }
    for (const char* prefix : {"master.dbo.", "master..", "master.sys.", "sys.", "dbo."}) {
        if (name.rfind(prefix, 0) == 0) {
            name.erase(0, std::string_view(prefix).size());
            break;
        }
    }
    return name == "sp_who";
}

std::optional<SpWhoCall> parseSpWhoStatement(std::string_view sql) {
    std::optional<Parser> parsed = parserFor(sql);
    if (!parsed) {
        return std::nullopt;
    }
    Parser& p = *parsed;
    if (!p.word("exec")) {
        p.word("execute");
    }
    std::string name;
    for (;;) {
        if (p.punct(".")) {
            name += '.';
            continue;
        }
        if (!name.empty() && name.back() != '.') {
            break;
        }
        std::optional<std::string> w = p.anyWord();
        if (!w) {
            break;
        }
        name += *w;
    }
    if (!isSpWhoName(name)) {
        return std::nullopt;
    }
    SpWhoCall call;
    if (p.peekWord("@loginame")) {
        p.anyWord();
        if (!p.punct("=")) {
            return std::nullopt;
        }
    }
    if (std::optional<long long> n = p.number()) {
        call.spid = n;
    } else if (std::optional<std::string> s = p.string()) {
        call.text = s;
    } else if (p.word("null")) {
        // the same as no argument
    }
    if (!p.atEnd()) {
        return std::nullopt;
    }
    return call;
}

StatementResult answerSpWho(TokenWriter& tw, SessionContext& ctx, const SpWhoCall& call, Ending end,
                            bool inBatch, Clock::time_point now) {
    using T = ColumnType;
    // As sp_who declares its result: blk is char(5) there (sent here as nchar(5)).
    static const std::vector<Column> cols = {
        {"spid", T::SmallInt, 0, false},    {"ecid", T::SmallInt, 0, false},
        {"status", T::NChar, 30, false},    {"loginame", T::NChar, 128, true},
        {"hostname", T::NChar, 128, false}, {"blk", T::NChar, 5, true},
        {"dbname", T::NChar, 128, true},    {"cmd", T::NChar, 16, false},
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
