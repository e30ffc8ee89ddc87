#include "Faults.h"

#include "TextUtil.h"

namespace tdssim {

namespace {

bool parseFlag(std::string_view value, bool& out, std::string& error) {
    std::string v = lowerAscii(trim(value));
    if (v.empty() || v == "1" || v == "yes" || v == "on" || v == "true") {
        out = true;
        return true;
    }
    if (v == "0" || v == "no" || v == "off" || v == "false") {
        out = false;
        return true;
    }
    error = "not a yes/no value: " + std::string(value);
    return false;
}

} // namespace

bool setFault(Faults& f, std::string_view name, std::string_view value, std::string& error) {
    std::string n = lowerAscii(trim(name));
    std::string v = trim(value);
    if (n == "delay") {
        long long ms = 0;
        if (!parseInteger(v, ms) || ms < 0 || ms > 3600000) {
            error = "delay needs milliseconds (0 to 3600000)";
            return false;
        }
        f.delayMs = static_cast<int>(ms);
        return true;
    }
    if (n == "query-error") {
        if (v.empty()) {
            f.queryError = 208;
            return true;
        }
        long long number = 0;
        bool flag = false;
        if (parseInteger(v, number) && number >= 0) {
            f.queryError = static_cast<int>(number);
            return true;
        }
        if (!parseFlag(v, flag, error)) {
            return false;
        }
        f.queryError = flag ? 208 : 0;
        return true;
    }
    bool* flag = nullptr;
    if (n == "hang") {
        flag = &f.hang;
    } else if (n == "hang-login") {
        flag = &f.hangLogin;
    } else if (n == "drop") {
        flag = &f.drop;
    } else if (n == "refuse") {
        flag = &f.refuse;
    } else if (n == "reject-login") {
        flag = &f.rejectLogin;
    } else if (n == "malformed") {
        flag = &f.malformed;
    } else {
        error = "unknown fault: " + std::string(name);
        return false;
    }
    return parseFlag(v, *flag, error);
}

std::string describeFaults(const Faults& f) {
    std::string out;
    auto add = [&](const std::string& s) {
        if (!out.empty()) {
            out += ' ';
        }
        out += s;
    };
    if (f.delayMs > 0) {
        add("delay=" + std::to_string(f.delayMs));
    }
    if (f.hang) {
        add("hang");
    }
    if (f.hangLogin) {
        add("hang-login");
    }
    if (f.drop) {
        add("drop");
    }
    if (f.refuse) {
        add("refuse");
    }
    if (f.rejectLogin) {
        add("reject-login");
    }
    if (f.queryError != 0) {
        add("query-error=" + std::to_string(f.queryError));
    }
    if (f.malformed) {
        add("malformed");
    }
    return out.empty() ? "none" : out;
}

} // namespace tdssim
