#include "SqlTokens.h"

#include "TextUtil.h"

#include <cctype>

namespace tdssim {

namespace {

constexpr std::size_t kMaxText = 4000; // longer texts are nobody's plain statement

bool isLetter(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '@' || c == '#';
}

// Later characters of a name may also be digits and '$'; a name never starts with '$'
// (that starts a money literal).
bool isNameChar(char c) {
    return isLetter(c) || std::isdigit(static_cast<unsigned char>(c)) != 0 || c == '$';
}

// The end of the comment starting at i (past "*/" or the line's end), or i when none starts
// there. Block comments nest, as the server reads them; nullopt for one left open.
std::optional<std::size_t> skipComment(std::string_view s, std::size_t i) {
    if (s.substr(i, 2) == "--") {
        const std::size_t eol = s.find('\n', i);
        return eol == std::string_view::npos ? s.size() : eol + 1;
    }
    if (s.substr(i, 2) != "/*") {
        return i;
    }
    int depth = 0;
    while (i < s.size()) {
        if (s.substr(i, 2) == "/*") {
            ++depth;
            i += 2;
        } else if (s.substr(i, 2) == "*/") {
            i += 2;
            if (--depth == 0) {
                return i;
            }
        } else {
            ++i;
        }
    }
    return std::nullopt;
}

// The text between the delimiters opening at i, a doubled closer standing for itself; end
// is set past the closer.
std::optional<std::string> delimited(std::string_view s, std::size_t i, char close,
                                     std::size_t& end) {
    std::string value;
    for (std::size_t j = i + 1; j < s.size(); ++j) {
        if (s[j] == close) {
            if (j + 1 < s.size() && s[j + 1] == close) {
                value += close;
                ++j;
                continue;
            }
            end = j + 1;
            return value;
        }
        value += s[j];
    }
    return std::nullopt;
}

} // namespace

std::optional<std::vector<SqlToken>> tokenizeSql(std::string_view s) {
    std::vector<SqlToken> out;
    std::size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        std::optional<std::size_t> afterComment = skipComment(s, i);
        if (!afterComment) {
            return std::nullopt;
        }
        if (*afterComment != i) {
            i = *afterComment;
        } else if (std::isspace(static_cast<unsigned char>(c)) != 0) {
            ++i;
        } else if (c == '[' || c == '"') {
            std::size_t end = 0;
            std::optional<std::string> name = delimited(s, i, c == '[' ? ']' : '"', end);
            if (!name) {
                return std::nullopt;
            }
            out.push_back({SqlToken::Word, lowerAscii(*name), *name, true});
            i = end;
        } else if (c == '\'' || ((c == 'n' || c == 'N') && i + 1 < s.size() && s[i + 1] == '\'')) {
            std::size_t end = 0;
            std::optional<std::string> value = delimited(s, c == '\'' ? i : i + 1, '\'', end);
            if (!value) {
                return std::nullopt;
            }
            out.push_back({SqlToken::String, *value, *value, false});
            i = end;
        } else if (std::isdigit(static_cast<unsigned char>(c)) != 0) {
            std::size_t j = i;
            while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j])) != 0) {
                ++j;
            }
            if (j < s.size() && isNameChar(s[j])) {
                return std::nullopt; // 12abc
            }
            const std::string digits(s.substr(i, j - i));
            out.push_back({SqlToken::Number, digits, digits, false});
            i = j;
        } else if (isLetter(c)) {
            std::size_t j = i;
            while (j < s.size() && isNameChar(s[j])) {
                ++j;
            }
            const std::string word(s.substr(i, j - i));
            out.push_back({SqlToken::Word, lowerAscii(word), word, false});
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
            out.push_back({SqlToken::Punct, p, p, false});
            i += p.size();
        }
    }
    while (!out.empty() && out.back().kind == SqlToken::Punct && out.back().text == ";") {
        out.pop_back();
    }
    return out;
}

bool SqlCursor::peekWord(const char* w, std::size_t ahead) const {
    const SqlToken* t = peek(ahead);
    return t && t->kind == SqlToken::Word && !t->delimited && t->text == w;
}

bool SqlCursor::peekPunct(const char* p, std::size_t ahead) const {
    const SqlToken* t = peek(ahead);
    return t && t->kind == SqlToken::Punct && t->text == p;
}

bool SqlCursor::word(const char* w) {
    if (peekWord(w)) {
        ++i_;
        return true;
    }
    return false;
}

bool SqlCursor::punct(const char* p) {
    if (peekPunct(p)) {
        ++i_;
        return true;
    }
    return false;
}

const SqlToken* SqlCursor::anyWord() {
    if (!atEnd() && t_[i_].kind == SqlToken::Word) {
        return &t_[i_++];
    }
    return nullptr;
}

std::optional<long long> SqlCursor::number() {
    const bool negative = peekPunct("-");
    const SqlToken* t = peek(negative ? 1 : 0);
    long long v = 0;
    if (!t || t->kind != SqlToken::Number || !parseInteger(t->text, v)) {
        return std::nullopt;
    }
    i_ += negative ? 2 : 1;
    return negative ? -v : v;
}

std::optional<std::string> SqlCursor::string() {
    if (!atEnd() && t_[i_].kind == SqlToken::String) {
        return t_[i_++].text;
    }
    return std::nullopt;
}

std::optional<SqlCursor> sqlCursorFor(std::string_view text) {
    if (text.size() > kMaxText) {
        return std::nullopt;
    }
    std::optional<std::vector<SqlToken>> tokens = tokenizeSql(text);
    if (!tokens) {
        return std::nullopt;
    }
    return SqlCursor(std::move(*tokens));
}

} // namespace tdssim
