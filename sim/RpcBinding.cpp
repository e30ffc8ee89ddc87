#include "RpcBinding.h"

#include "TextUtil.h"

#include <cctype>

namespace tdssim {

namespace {

bool isNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '@' || c == '#' ||
           c == '$';
}

std::string literal(const RpcParam& p) {
    if (p.isNull) {
        return "NULL";
    }
    if (p.intValue) {
        return std::to_string(*p.intValue);
    }
    if (p.textValue) {
        std::string quoted = "N'";
        for (char c : *p.textValue) {
            quoted += c;
            if (c == '\'') {
                quoted += '\'';
            }
        }
        return quoted + "'";
    }
    return "NULL";
}

std::vector<std::string> declaredNames(const std::string& declarations) {
    std::vector<std::string> names;
    int depth = 0;
    std::string item;
    auto flush = [&] {
        std::vector<std::string> words = splitWords(item);
        if (!words.empty() && words[0].size() > 1 && words[0][0] == '@') {
            names.push_back(lowerAscii(words[0]));
        }
        item.clear();
    };
    for (char c : declarations) {
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            --depth;
        } else if (c == ',' && depth == 0) {
            flush();
            continue;
        }
        item += c;
    }
    flush();
    return names;
}

} // namespace

std::string bindParameters(const std::string& statement, const std::string& declarations,
                           const std::vector<RpcParam>& values) {
    std::vector<std::string> names = declaredNames(declarations);
    std::vector<std::pair<std::string, std::string>> bound;
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::string name = !values[i].name.empty() ? lowerAscii(values[i].name)
                           : i < names.size()      ? names[i]
                                                   : "";
        if (!name.empty()) {
            bound.emplace_back(name, literal(values[i]));
        }
    }
    if (bound.empty()) {
        return statement;
    }
    // Replace whole names outside string literals.
    std::string out;
    bool inString = false;
    for (std::size_t i = 0; i < statement.size();) {
        char c = statement[i];
        if (c == '\'') {
            inString = !inString;
        }
        if (!inString && c == '@' && (i == 0 || !isNameChar(statement[i - 1]))) {
            std::size_t end = i + 1;
            while (end < statement.size() && isNameChar(statement[end])) {
                ++end;
            }
            std::string name = lowerAscii(statement.substr(i, end - i));
            bool replaced = false;
            for (const auto& [n, value] : bound) {
                if (n == name) {
                    out += value;
                    replaced = true;
                    break;
                }
            }
            if (!replaced) {
                out.append(statement, i, end - i);
            }
            i = end;
            continue;
        }
        out += c;
        ++i;
    }
    return out;
}

} // namespace tdssim
