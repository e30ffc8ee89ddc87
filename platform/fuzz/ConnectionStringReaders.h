// How the two readers of an ODBC connection string take it apart, written down from their
// observed behaviour (unixODBC 2.3.11's driver manager and FreeTDS 1.3.17's driver, checked
// with isql against tdssim), and the oracle the fuzz target and the tests apply: both must see
// exactly the keys and values meant. Test code only.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace connstr_readers {

// A value in OLE DB double quotes, which keep it exactly (blanks, ";" and quotes included):
// how the tests and the fuzz target write a user's value into a connection string.
inline std::string OleDbQuoted(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

using TPairs = std::vector<std::pair<std::string, std::string>>;

inline bool CSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 32);
        }
    }
    return s;
}

// The driver manager: blanks and ";" before a key are skipped; the key runs to the next "="
// (";" included; no "=" left ends the string); a value starting with "{" runs to the first
// "}" not followed by "}", with "}}" read as one "}", and the closing "}" is skipped, whatever
// follows it; any other value runs to the next ";". Every pair in order, as written.
inline TPairs ReadAsDriverManager(const std::string& s) {
    TPairs pairs;
    std::size_t i = 0;
    const std::size_t n = s.size();
    for (;;) {
        while (i < n && (CSpace(s[i]) || s[i] == ';')) {
            ++i;
        }
        if (i >= n || s[i] == '\0') {
            break;
        }
        const std::size_t equals = s.find('=', i);
        if (equals == std::string::npos) {
            break;
        }
        std::string key = s.substr(i, equals - i);
        i = equals + 1;
        std::string value;
        if (i < n && s[i] == '{') {
            ++i;
            while (i < n && (s[i] != '}' || (i + 1 < n && s[i + 1] == '}'))) {
                if (s[i] == '}') {
                    ++i; // the first of "}}"
                }
                value += s[i++];
            }
            if (i < n) {
                ++i; // the closing "}"
            }
        } else {
            while (i < n && s[i] != ';') {
                value += s[i++];
            }
        }
        pairs.emplace_back(std::move(key), std::move(value));
    }
    return pairs;
}

// FreeTDS: ";"s before a key are skipped, then blanks (spaces only); the key runs to the
// next "="; a value starting with "{" runs to the first "}" that a ";" follows (to the end of
// the string when none does, a last "}" included) and nothing inside is undone; any other
// value runs to the next ";". After a value, one "}" and one more character are skipped.
inline TPairs ReadAsFreeTds(const std::string& s) {
    TPairs pairs;
    std::size_t p = 0;
    const std::size_t n = s.size();
    while (p < n && s[p] != '\0') {
        while (p < n && s[p] == ';') {
            ++p;
        }
        const std::size_t equals = s.find('=', p);
        if (equals == std::string::npos) {
            break;
        }
        while (p < equals && s[p] == ' ') {
            ++p;
        }
        std::string key = s.substr(p, equals - p);
        if (key.size() >= 24) {
            key.clear(); // longer than any keyword it knows: read as none
        }
        p = equals + 1;
        std::size_t end;
        if (p < n && s[p] == '{') {
            ++p;
            end = p;
            for (;;) {
                end = s.find('}', end);
                if (end == std::string::npos) {
                    end = n;
                    break;
                }
                if (end + 1 != n && s[end + 1] == ';') {
                    break;
                }
                ++end;
            }
        } else {
            end = s.find(';', p);
            if (end == std::string::npos) {
                end = n;
            }
        }
        pairs.emplace_back(std::move(key), s.substr(p, end - p));
        p = end;
        if (p >= n) {
            break;
        }
        if (s[p] == '}') {
            ++p;
        }
        ++p;
    }
    return pairs;
}

// "" when both readers see exactly the expected pairs (keys without letter case, values
// byte for byte, in order), else what differs.
inline std::string Disagreement(const std::string& odbc, const TPairs& expected,
                                bool freeTds = true) {
    auto same = [&](const TPairs& seen) {
        if (seen.size() != expected.size()) {
            return false;
        }
        for (std::size_t i = 0; i < seen.size(); ++i) {
            if (Upper(seen[i].first) != Upper(expected[i].first) ||
                seen[i].second != expected[i].second) {
                return false;
            }
        }
        return true;
    };
    auto show = [](const TPairs& pairs) {
        std::string out;
        for (const auto& [k, v] : pairs) {
            out += "[" + k + "]=[" + v + "] ";
        }
        return out;
    };
    const TPairs dm = ReadAsDriverManager(odbc);
    if (!same(dm)) {
        return "driver manager reads " + show(dm) + "instead of " + show(expected);
    }
    if (freeTds) {
        const TPairs tds = ReadAsFreeTds(odbc);
        if (!same(tds)) {
            return "FreeTDS reads " + show(tds) + "instead of " + show(expected);
        }
    }
    return {};
}

} // namespace connstr_readers
