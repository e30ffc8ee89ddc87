#include "ProcessSelect.h"
#include "SqlTokens.h"
#include "TextUtil.h"

#include <algorithm>
#include <cctype>

namespace tdssim {

namespace {

// Keywords that end a select item or a table name rather than naming an alias.
bool isKeyword(const std::string& w) {
    return w == "from" || w == "where" || w == "order" || w == "and" || w == "or" || w == "group" ||
           w == "join" || w == "left" || w == "inner" || w == "union" || w == "as" || w == "asc" ||
           w == "desc" || w == "by" || w == "on" || w == "select" || w == "top" ||
           w == "distinct" || w == "all" || w == "percent" || w == "having";
}

ServerMessage compileError(int number, int severity, std::string text) {
    ServerMessage m;
    m.number = number;
    m.severity = static_cast<std::uint8_t>(severity);
    m.state = 1;
    m.text = std::move(text);
    return m;
}

// A column as written: name, or prefix.name.
struct ColumnRef {
    std::string prefix; // lower case; empty without one
    std::string name;   // lower case
    std::string nameWritten;
    std::string written; // prefix.name as written, delimiters removed
    bool empty = false;  // "" or []: no name at all
};

std::optional<ColumnRef> columnRef(SqlCursor& p) {
    const SqlToken* first = p.anyWord();
    if (!first || (!first->delimited && isKeyword(first->text))) {
        return std::nullopt;
    }
    ColumnRef r{"", first->text, first->raw, first->raw, first->raw.empty()};
    if (p.punct(".")) {
        const SqlToken* second = p.anyWord();
        if (!second) {
            return std::nullopt;
        }
        r.prefix = r.name;
        r.name = second->text;
        r.nameWritten = second->raw;
        r.written += "." + second->raw;
        r.empty = r.empty || second->raw.empty();
    }
    return r;
}

// An alias as written (its case kept; empty for "" or []), with or without AS; nullopt when
// the next token is not one.
std::optional<std::string> alias(SqlCursor& p) {
    p.word("as");
    const SqlToken* t = p.peek();
    if (!t || (t->kind != SqlToken::Word && t->kind != SqlToken::String) ||
        (t->kind == SqlToken::Word && !t->delimited && isKeyword(t->text))) {
        return std::nullopt;
    }
    std::string name = t->raw;
    if (t->kind == SqlToken::Word) {
        p.anyWord();
    } else {
        p.string();
    }
    return name;
}

ServerMessage emptyName() {
    return compileError(1038, 15,
                        "An object or column name is missing or empty. For SELECT INTO "
                        "statements, verify each column has a name. For other statements, look "
                        "for empty alias names. Aliases defined as \"\" or [] are not allowed. "
                        "Change the alias to a valid name.");
}

class SelectReader {
public:
    explicit SelectReader(ProcessSelect& q) : q_(q) {}

    void fail(ServerMessage m) {
        if (!q_.error) {
            q_.error = std::move(m);
        }
    }
    void setExposedName(std::string name) { exposed_ = std::move(name); }

    // The catalog column a reference names, or an error noted for it.
    std::optional<std::size_t> resolve(const ColumnRef& r) {
        if (r.empty) {
            fail(emptyName());
            return std::nullopt;
        }
        if (!r.prefix.empty() && r.prefix != exposed_) {
            fail(compileError(
                4104, 16, "The multi-part identifier \"" + r.written + "\" could not be bound."));
            return std::nullopt;
        }
        std::optional<std::size_t> c = findProcessColumn(r.name);
        if (!c) {
            fail(compileError(207, 16, "Invalid column name '" + r.nameWritten + "'."));
        }
        return c;
    }

    bool prefixBound(const std::string& prefix, const std::string& written) {
        if (prefix == exposed_) {
            return true;
        }
        fail(compileError(107, 16,
                          "The column prefix '" + written +
                              "' does not match with a table name or alias name used in the "
                              "query."));
        return false;
    }

private:
    ProcessSelect& q_;
    std::string exposed_;
};

// The table: sysprocesses, dbo.sysprocesses, sys.sysprocesses, master..sysprocesses,
// master.dbo.sysprocesses, master.sys.sysprocesses.
bool processTable(SqlCursor& p) {
    std::vector<std::string> parts{""};
    for (;;) {
        if (p.punct(".")) {
            parts.emplace_back();
            continue;
        }
        if (!parts.back().empty()) {
            break;
        }
        const SqlToken* w = p.anyWord();
        if (!w) {
            break;
        }
        parts.back() = w->text;
    }
    std::string table;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        table += (i ? "." : "") + parts[i];
    }
    static const char* const names[] = {
        "sysprocesses",         "dbo.sysprocesses",        "sys.sysprocesses",
        "master..sysprocesses", "master.dbo.sysprocesses", "master.sys.sysprocesses"};
    return std::any_of(std::begin(names), std::end(names),
                       [&](const char* n) { return table == n; });
}

struct SelectItem {
    bool star = false;
    std::string starPrefix, starWritten; // p.*
    ColumnRef column;
    std::optional<std::string> alias;
};

bool readTop(SqlCursor& p, ProcessSelect& q) {
    if (!p.word("top")) {
        return true;
    }
    const bool parens = p.punct("(");
    q.top = p.number();
    if (!q.top || *q.top < 0 || (parens && !p.punct(")"))) {
        return false;
    }
    q.topPercent = p.word("percent");
    if (q.topPercent && *q.top > 100) {
        q.error = compileError(1031, 16, "Percent values must be between 0 and 100.");
    }
    return true;
}

bool readWhere(SqlCursor& p, ProcessSelect& q, SelectReader& reader) {
    do {
        std::optional<ColumnRef> col = columnRef(p);
        if (!col) {
            return false;
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
            return false;
        }
        cond.value = *value;
        if (std::optional<std::size_t> c = reader.resolve(*col)) {
            cond.column = *c;
            if (!isIntegerProcessColumn(*c)) {
                return false; // only integer comparisons are answered
            }
            q.where.push_back(cond);
        }
    } while (p.word("and"));
    return true;
}

bool readOrderBy(SqlCursor& p, ProcessSelect& q, SelectReader& reader,
                 const std::vector<std::string>& outputNames) {
    if (!p.word("by")) {
        return false;
    }
    std::size_t position = 0;
    do {
        ++position;
        ProcessSelect::Order o;
        if (std::optional<long long> ordinal = p.number()) {
            if (*ordinal < 0) {
                reader.fail(compileError(408, 16,
                                         "A constant expression was encountered in the ORDER BY "
                                         "list, position " +
                                             std::to_string(position) + "."));
            } else if (*ordinal < 1 || static_cast<std::size_t>(*ordinal) > q.columns.size()) {
                reader.fail(compileError(108, 16,
                                         "The ORDER BY position number " +
                                             std::to_string(*ordinal) +
                                             " is out of range of the number of items in the "
                                             "select list."));
            } else {
                o.column = q.columns[static_cast<std::size_t>(*ordinal - 1)];
            }
        } else {
            o.negated = p.punct("-");
            std::optional<ColumnRef> col = columnRef(p);
            if (!col) {
                return false;
            }
            // A bare name may be an output alias; a prefixed one is always the table's column.
            auto byAlias = col->prefix.empty() && !col->empty
                               ? std::find(outputNames.begin(), outputNames.end(), col->name)
                               : outputNames.end();
            if (byAlias != outputNames.end()) {
                o.column = q.columns[static_cast<std::size_t>(byAlias - outputNames.begin())];
            } else if (std::optional<std::size_t> c = reader.resolve(*col)) {
                o.column = *c;
            } else {
                o.negated = false;
            }
            if (o.negated && !isIntegerProcessColumn(o.column)) {
                return false; // the minus of a text: not a statement tdssim answers
            }
        }
        if (p.word("desc")) {
            o.descending = true;
        } else {
            p.word("asc");
        }
        if (q.distinct && !q.error &&
            std::find(q.columns.begin(), q.columns.end(), o.column) == q.columns.end()) {
            reader.fail(compileError(
                145, 15,
                "ORDER BY items must appear in the select list if SELECT DISTINCT is specified."));
        }
        q.orderBy.push_back(o);
    } while (p.punct(","));
    return true;
}

} // namespace

std::optional<ProcessSelect> parseProcessSelect(std::string_view sql) {
    std::optional<SqlCursor> parsed = sqlCursorFor(sql);
    if (!parsed) {
        return std::nullopt;
    }
    SqlCursor& p = *parsed;
    ProcessSelect q;
    if (!p.word("select")) {
        return std::nullopt;
    }
    if (p.word("distinct")) {
        q.distinct = true;
    } else {
        p.word("all");
    }
    if (!readTop(p, q)) {
        return std::nullopt;
    }
    // Names are bound once FROM has told the table's exposed name.
    std::vector<SelectItem> items;
    do {
        SelectItem item;
        if (p.punct("*")) {
            item.star = true;
        } else if (p.peekPunct(".", 1) && p.peekPunct("*", 2)) { // p.*
            const SqlToken* prefix = p.anyWord();
            if (!prefix) {
                return std::nullopt; // 1.* and the like
            }
            p.punct(".");
            p.punct("*");
            item.star = true;
            item.starPrefix = prefix->text;
            item.starWritten = prefix->raw;
        } else {
            std::optional<ColumnRef> col = columnRef(p);
            if (!col) {
                return std::nullopt;
            }
            item.column = *col;
            if (!p.peekWord("from") && !p.peekPunct(",")) {
                item.alias = alias(p);
                if (!item.alias) {
                    return std::nullopt;
                }
            }
        }
        items.push_back(std::move(item));
    } while (p.punct(","));
    if (!p.word("from") || !processTable(p)) {
        return std::nullopt;
    }
    SelectReader reader(q);
    reader.setExposedName("sysprocesses");
    if (!p.atEnd() && !p.peekWord("where") && !p.peekWord("order")) {
        std::optional<std::string> tableAlias = alias(p);
        if (!tableAlias) {
            return std::nullopt;
        }
        if (tableAlias->empty()) {
            reader.fail(emptyName());
        }
        reader.setExposedName(lowerAscii(*tableAlias));
    }
    std::vector<std::string> outputNames; // lower case, for ORDER BY
    for (const SelectItem& item : items) {
        if (item.star) {
            if (!item.starPrefix.empty() &&
                !reader.prefixBound(item.starPrefix, item.starWritten)) {
                continue;
            }
            for (std::size_t c = 0; c < processColumnCount(); ++c) {
                q.columns.push_back(c);
                q.names.emplace_back(processColumnName(c));
            }
        } else if (std::optional<std::size_t> c = reader.resolve(item.column)) {
            if (item.alias && item.alias->empty()) {
                reader.fail(emptyName());
            }
            // An alias keeps its case; a plain column is named as the catalog names it.
            q.columns.push_back(*c);
            q.names.emplace_back(item.alias ? *item.alias : processColumnName(*c));
        }
    }
    for (const std::string& n : q.names) {
        outputNames.push_back(lowerAscii(n));
    }
    if (p.word("where") && !readWhere(p, q, reader)) {
        return std::nullopt;
    }
    if (p.word("order") && !readOrderBy(p, q, reader, outputNames)) {
        return std::nullopt;
    }
    if (!p.atEnd()) {
        return std::nullopt;
    }
    return q;
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
    std::optional<SqlCursor> parsed = sqlCursorFor(sql);
    if (!parsed) {
        return std::nullopt;
    }
    SqlCursor& p = *parsed;
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
        const SqlToken* w = p.anyWord();
        if (!w) {
            break;
        }
        name += w->text;
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

} // namespace tdssim
