#include "OdbcValueRules.h"

#include <QString>

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The blanks FreeTDS's configuration reader skips and folds (C's isspace).
bool IsConfigSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Values that any reader takes as they stand; everything else goes in braces.
bool NeedsBraces(const std::string& value) {
    return value.find_first_of(";{}=") != std::string::npos ||
           (!value.empty() && (IsSpace(value.front()) || IsSpace(value.back())));
}

bool Holds(const std::string& s, char c) {
    return s.find(c) != std::string::npos;
}

std::size_t Count(const std::string& s, char c) {
    std::size_t n = 0;
    for (char x : s) {
        n += x == c ? 1 : 0;
    }
    return n;
}

} // namespace

std::string DriverManagerCopy(const std::string& utf8) {
    // The same conversion as the one the connect call is handed (invalid bytes become U+FFFD).
    const QString wide = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
    std::string copy;
    copy.reserve(static_cast<std::size_t>(wide.size()));
    for (const QChar unit : wide) {
        copy += static_cast<char>(unit.unicode() & 0xFF);
    }
    return copy;
}

std::optional<std::string> FreeTdsQuote(const std::string& value) {
    const std::string copy = DriverManagerCopy(value);
    if (!NeedsBraces(value) && !NeedsBraces(copy)) {
        return value;
    }
    // The driver manager ends a braced value at the first single "}" and FreeTDS at the first
    // "};", undoing no doubling: braces serve both only for a value without "}".
    if (!Holds(value, '}') && !Holds(copy, '}')) {
        return "{" + value + "}";
    }
    // Unbraced, both read up to the first ";".
    if (!Holds(value, ';') && !Holds(copy, ';') && value.front() != '{' && copy.front() != '{') {
        return value;
    }
    return std::nullopt;
}

std::optional<std::string> OdbcQuote(const std::string& value) {
    const std::string copy = DriverManagerCopy(value);
    // A "}" in the copy where the value has another character would end the value there:
    // doubling serves only the "}"s both see.
    if (Count(copy, '}') != Count(value, '}')) {
        return std::nullopt;
    }
    if (!NeedsBraces(value) && !NeedsBraces(copy)) {
        return value;
    }
    std::string out = "{";
    for (char c : value) {
        out += c;
        if (c == '}') {
            out += '}';
        }
    }
    out += '}';
    return out;
}

std::string DriverNameProblem(const std::string& name) {
    for (unsigned char c : name) {
        if (c < 0x20 || c > 0x7E) {
            return "a driver name holds ASCII letters, digits, blanks and punctuation only";
        }
    }
    if (Holds(name, '}')) {
        // Inside Driver={...} it would end the name and let the rest pass as keywords.
        return "a driver name cannot contain \"}\"";
    }
    if (Holds(name, '/') || Holds(name, '\\')) {
        return "give the name of an installed ODBC driver, not a path";
    }
    return {};
}

std::string ConfigValueProblem(const std::string& value) {
    for (char c : value) {
        switch (c) {
        case ';':
        case '#':
            return std::string("cannot hold \"") + c + "\"";
        case '\r':
            return "cannot hold a carriage return";
        case '\n':
            return "cannot hold a line break";
        case '\0':
            return "cannot hold a NUL character";
        default:
            break;
        }
    }
    if (!value.empty() && (IsConfigSpace(value.front()) || IsConfigSpace(value.back()))) {
        return "cannot begin or end with a blank";
    }
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != ' ' && IsConfigSpace(value[i])) {
            return "cannot hold a tab, vertical tab or form feed (the FreeTDS configuration "
                   "reads it as a blank)";
        }
        if (value[i] == ' ' && i + 1 < value.size() && value[i + 1] == ' ') {
            return "cannot hold two blanks in a row (the FreeTDS configuration reads them as "
                   "one)";
        }
    }
    return {};
}
