#include "CauseKeys.h"

#include "WaitResource.h"

#include <cctype>

namespace {

bool IsWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '@' || c == '#' ||
           c == '$' || static_cast<unsigned char>(c) >= 0x80;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// "(?, ?, ?)" after "in " becomes "(?)"; the text is the fingerprint so far, which ends in ")".
void FoldInList(std::string& out) {
    const std::size_t open = out.rfind('(');
    if (open == std::string::npos || open < 3)
        return;
    std::size_t before = open;
    while (before > 0 && out[before - 1] == ' ')
        --before;
    if (before < 2 || out.compare(before - 2, 2, "in") != 0 ||
        (before > 2 && IsWordChar(out[before - 3])))
        return;
    bool values = false;
    for (std::size_t i = open + 1; i + 1 < out.size(); ++i) {
        const char c = out[i];
        if (c == '?')
            values = true;
        else if (c != ',' && c != ' ')
            return;
    }
    if (values)
        out.replace(open, std::string::npos, "(?)");
}

} // namespace

std::string StatementFingerprint(std::string_view s) {
    std::string out;
    out.reserve(std::min(s.size(), MaxFingerprint) + 8);
    bool pendingBlank = false;
    const auto emit = [&](std::string_view piece) {
        if (pendingBlank && !out.empty())
            out.push_back(' ');
        pendingBlank = false;
        for (char c : piece)
            out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    };
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n && out.size() < MaxFingerprint) {
        const char c = s[i];
        if (IsBlank(c)) {
            pendingBlank = true;
            ++i;
        } else if (c == '-' && i + 1 < n && s[i + 1] == '-') {
            while (i < n && s[i] != '\n')
                ++i;
            pendingBlank = true;
        } else if (c == '/' && i + 1 < n && s[i + 1] == '*') {
            const std::size_t end = s.find("*/", i + 2);
            i = end == std::string_view::npos ? n : end + 2;
            pendingBlank = true;
        } else if (c == '\'' || ((c == 'N' || c == 'n') && i + 1 < n && s[i + 1] == '\'' &&
                                 (i == 0 || !IsWordChar(s[i - 1])))) {
            i += c == '\'' ? 1 : 2;
            while (i < n) {
                if (s[i] == '\'') {
                    if (i + 1 < n && s[i + 1] == '\'') {
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                ++i;
            }
            emit("?");
        } else if (c == '[' || c == '"') {
            // A quoted name is kept as written: digits in it are no literal.
            const char close = c == '[' ? ']' : '"';
            std::size_t end = s.find(close, i + 1);
            end = end == std::string_view::npos ? n : end + 1;
            emit(s.substr(i, std::min(end - i, MaxFingerprint)));
            i = end;
        } else if (std::isdigit(static_cast<unsigned char>(c)) ||
                   (c == '.' && i + 1 < n && std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
            // A number, hexadecimal or with a fraction or exponent; a minus sign in front stays
            // (it may be an operator).
            while (i < n &&
                   (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '.' ||
                    ((s[i] == '+' || s[i] == '-') && (s[i - 1] == 'e' || s[i - 1] == 'E'))))
                ++i;
            emit("?");
        } else if (IsWordChar(c)) {
            const std::size_t start = i;
            while (i < n && IsWordChar(s[i]) && i - start < MaxFingerprint)
                ++i;
            emit(s.substr(start, i - start));
        } else {
            if (c == ',' || c == ')' || c == '(')
                pendingBlank = pendingBlank && c == '(';
            emit(std::string_view(&s[i], 1));
            if (c == ',')
                pendingBlank = true;
            if (c == ')')
                FoldInList(out);
            ++i;
        }
    }
    if (out.size() > MaxFingerprint)
        out.resize(MaxFingerprint);
    return out;
}

std::string WaitObject(std::string_view waitResource) {
    const TWaitResource r = DecodeWaitResource(waitResource, nullptr);
    if (r.Kind.empty()) {
        std::string text(r.Words.substr(0, 200));
        return text;
    }
    const std::string db = "database " + std::to_string(r.DatabaseId);
    if (r.HobtId != 0)
        return db + ", hobt " + std::to_string(r.HobtId);
    if (r.ObjectId != 0)
        return db + ", object " + std::to_string(r.ObjectId);
    return r.DatabaseId >= 0 ? db + ", " + r.Kind : r.Kind;
}
