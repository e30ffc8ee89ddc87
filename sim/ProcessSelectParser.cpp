#include "ProcessSelect.h"
#include "TextUtil.h"

#include <algorithm>
#include <cctype>

namespace tdssim {

namespace {

constexpr std::size_t kMaxText = 4000; // longer texts are nobody's plain SELECT

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
        std::optional<std::size_t> c = findProcessColumn(name);
        if (!c && q.invalidColumn.empty()) {
            q.invalidColumn = name;
        }
        return c;
    };
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (wanted[i] == "*") {
            for (std::size_t c = 0; c < processColumnCount(); ++c) {
                q.columns.push_back(c);
                q.names.emplace_back(processColumnName(c));
            }
        } else if (std::optional<std::size_t> c = resolve(wanted[i])) {
            q.columns.push_back(*c);
            q.names.push_back(aliases[i].empty() ? processColumnName(*c) : aliases[i]);
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
                if (!isIntegerProcessColumn(*c)) {
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

} // namespace tdssim
