// How the two readers of an ODBC connection string take it apart, written down from their
// observed behaviour (unixODBC 2.3.11's driver manager and FreeTDS 1.3.17's driver, checked
// with isql against tdssim), and the oracle the fuzz target and the tests apply: both must see
// exactly the keys and values meant. The driver manager reads its own narrow copy of the wide
// string the program hands over (every UTF-16 unit cut to its low byte, up to the first NUL
// byte), FreeTDS the text itself. Test code only.
#pragma once

#include "OdbcValueRules.h"

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

// The driver manager's copy as its parser sees it: up to the first NUL.
inline std::string DriverManagerView(const std::string& odbc) {
    const std::string copy = DriverManagerCopy(odbc);
    return copy.substr(0, copy.find('\0'));
}

inline std::string Show(const TPairs& pairs) {
    std::string out;
    for (const auto& [k, v] : pairs) {
        out += "[" + k + "]=[" + v + "] ";
    }
    return out;
}

// "" when both readers see exactly the expected pairs (keys without letter case, values
// byte for byte, in order), else what differs. The driver manager sees the expected values'
// narrow copies; where its copy ends at a NUL, it sees the pairs before it and the start of
// the value the NUL cuts, and nothing after.
inline std::string Disagreement(const std::string& odbc, const TPairs& expected,
                                bool freeTds = true) {
    const std::string view = DriverManagerView(odbc);
    const bool cut = view.size() < DriverManagerCopy(odbc).size();
    const TPairs dm = ReadAsDriverManager(view);
    bool dmSame = dm.size() == expected.size() || (cut && dm.size() < expected.size());
    for (std::size_t i = 0; dmSame && i < dm.size(); ++i) {
        const std::string want = DriverManagerCopy(expected[i].second);
        const bool last = cut && i + 1 == dm.size();
        dmSame =
            Upper(dm[i].first) == Upper(expected[i].first) &&
            (last ? want.compare(0, dm[i].second.size(), dm[i].second) == 0 : dm[i].second == want);
    }
    if (!dmSame) {
        return "driver manager reads " + Show(dm) + "instead of " + Show(expected);
    }
    if (freeTds) {
        const TPairs tds = ReadAsFreeTds(odbc);
        bool same = tds.size() == expected.size();
        for (std::size_t i = 0; same && i < tds.size(); ++i) {
            same = Upper(tds[i].first) == Upper(expected[i].first) &&
                   tds[i].second == expected[i].second;
        }
        if (!same) {
            return "FreeTDS reads " + Show(tds) + "instead of " + Show(expected);
        }
    }
    return {};
}

} // namespace connstr_readers
