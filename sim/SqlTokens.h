// The words, numbers, strings and punctuation of one T-SQL statement, and a cursor over
// them, for the statements tdssim reads by their grammar rather than by their exact text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tdssim {

struct SqlToken {
    enum Kind { Word, Number, String, Punct } kind = Punct;
    std::string text;       // words in lower case, brackets and quotes removed
    std::string raw;        // as written (a delimited name without its delimiters)
    bool delimited = false; // [name] or "name": never a keyword
};

// Nullopt for what no statement tdssim answers can hold (an unclosed string or name, a
// character outside the grammar). Comments count as white space; a trailing ';' is dropped.
std::optional<std::vector<SqlToken>> tokenizeSql(std::string_view text);

class SqlCursor {
public:
    explicit SqlCursor(std::vector<SqlToken> tokens) : t_(std::move(tokens)) {}

    bool atEnd() const { return i_ >= t_.size(); }
    const SqlToken* peek(std::size_t ahead = 0) const {
        return i_ + ahead < t_.size() ? &t_[i_ + ahead] : nullptr;
    }
    // A keyword: an undelimited word.
    bool peekWord(const char* w, std::size_t ahead = 0) const;
    bool peekPunct(const char* p, std::size_t ahead = 0) const;
    bool word(const char* w);
    bool punct(const char* p);
    // Any word, delimited or not.
    const SqlToken* anyWord();
    // An integer with an optional minus sign; consumes nothing when there is none.
    std::optional<long long> number();
    std::optional<std::string> string();

private:
    std::vector<SqlToken> t_;
    std::size_t i_ = 0;
};

// The cursor over a text short enough to be somebody's plain statement.
std::optional<SqlCursor> sqlCursorFor(std::string_view text);

} // namespace tdssim
