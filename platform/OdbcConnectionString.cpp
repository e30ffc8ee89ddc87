#include "OdbcConnectionString.h"

#include "DbTypes.h"

#include <algorithm>
#include <charconv>
#include <initializer_list>

namespace {

const char* const DefaultDriver = "FreeTDS";
const char* const ApplicationName = "Tallyvane";

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string Trim(const std::string& s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && IsSpace(s[b])) {
        ++b;
    }
    while (e > b && IsSpace(s[e - 1])) {
        --e;
    }
    return s.substr(b, e - b);
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    return s;
}

bool StartsWithNoCase(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && Lower(s.substr(0, prefix.size())) == prefix;
}

[[noreturn]] void Fail(const std::string& message) {
    throw EDbError(MakeDbError(message, "08001"));
}

// The value of the last pair named by any of the names, or nothing.
const std::string* Find(const TConnectionStringPairs& pairs,
                        std::initializer_list<const char*> names) {
    const std::string* found = nullptr;
    for (const auto& [name, value] : pairs) {
        const std::string key = Lower(name);
        for (const char* n : names) {
            if (key == n) {
                found = &value;
            }
        }
    }
    return found;
}

std::string ValueOf(const TConnectionStringPairs& pairs, std::initializer_list<const char*> names) {
    const std::string* v = Find(pairs, names);
    return v ? *v : std::string();
}

// True/False in the forms OLE DB and ODBC accept; nothing for anything else.
std::optional<bool> BoolValue(const std::string& value) {
    const std::string v = Lower(Trim(value));
    if (v == "true" || v == "yes" || v == "1" || v == "sspi" || v == "mandatory") {
        return true;
    }
    if (v == "false" || v == "no" || v == "0" || v == "optional") {
        return false;
    }
    return std::nullopt;
}

struct TServerAddress {
    std::string Host;
    std::string Instance;
    std::optional<unsigned> Port;
};

TServerAddress ParseDataSource(const std::string& dataSource) {
    std::string s = Trim(dataSource);
    if (StartsWithNoCase(s, "tcp:")) {
        s = Trim(s.substr(4));
    } else if (StartsWithNoCase(s, "lpc:")) {
        s = Trim(s.substr(4));
    } else if (StartsWithNoCase(s, "np:") || StartsWithNoCase(s, "admin:")) {
        Fail("Only TCP connections are supported; cannot connect to \"" + dataSource + "\"");
    }
    TServerAddress address;
    const std::size_t comma = s.find(',');
    if (comma != std::string::npos) {
        const std::string port = Trim(s.substr(comma + 1));
        unsigned number = 0;
        auto [ptr, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
        if (port.empty() || ec != std::errc() || ptr != port.data() + port.size() || number == 0 ||
            number > 65535) {
            Fail("Invalid port number in the data source \"" + dataSource + "\"");
        }
        address.Port = number;
        s = Trim(s.substr(0, comma));
    }
    const std::size_t slash = s.find('\\');
    if (slash != std::string::npos) {
        address.Instance = Trim(s.substr(slash + 1));
        s = Trim(s.substr(0, slash));
    }
    const std::string host = Lower(s);
    if (host.empty() || host == "(local)" || host == "." || host == "localhost") {
        // This machine, over IPv4 loopback: "localhost" may resolve to ::1 first.
        s = "127.0.0.1";
    }
    address.Host = s;
    return address;
}

bool IsFreeTds(const std::string& driver) {
    const std::string d = Lower(driver);
    return d.find("freetds") != std::string::npos || d.find("tdsodbc") != std::string::npos;
}

void Append(std::string& out, const std::string& key, const std::string& value) {
    out += key;
    out += '=';
    out += OdbcQuote(value);
    out += ';';
}

} // namespace

TConnectionStringPairs ParseOleDbConnectionString(const std::string& text) {
    TConnectionStringPairs pairs;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        // Name: up to "=", where "==" stands for a literal "=".
        std::string name;
        while (i < n && text[i] != ';') {
            if (text[i] == '=') {
                if (i + 1 < n && text[i + 1] == '=') {
                    name += '=';
                    i += 2;
                    continue;
                }
                break;
            }
            name += text[i++];
        }
        if (i >= n || text[i] == ';') {
            // A piece without "=": nothing to take from it.
            if (!Trim(name).empty()) {
                pairs.emplace_back(Trim(name), std::string());
            }
            ++i;
            continue;
        }
        ++i; // "="
        while (i < n && IsSpace(text[i])) {
            ++i;
        }
        std::string value;
        if (i < n && (text[i] == '"' || text[i] == '\'')) {
            const char quote = text[i++];
            bool closed = false;
            while (i < n) {
                if (text[i] == quote) {
                    if (i + 1 < n && text[i + 1] == quote) {
                        value += quote;
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                value += text[i++];
            }
            if (!closed) {
                Fail("Unterminated quote in the connection string after \"" + Trim(name) + "=\"");
            }
            while (i < n && text[i] != ';') {
                ++i; // blanks after the closing quote
            }
        } else {
            while (i < n && text[i] != ';') {
                value += text[i++];
            }
            value = Trim(value);
        }
        ++i; // ";"
        const std::string key = Trim(name);
        if (!key.empty()) {
            pairs.emplace_back(key, value);
        }
    }
    return pairs;
}

std::string OdbcQuote(const std::string& value) {
    const bool plain = value.find_first_of(";{}=") == std::string::npos &&
                       (value.empty() || (!IsSpace(value.front()) && !IsSpace(value.back())));
    if (plain) {
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

TOdbcConnectInfo TranslateConnectionString(const std::string& oleDbString,
                                           const std::string& userId, const std::string& password) {
    const TConnectionStringPairs pairs = ParseOleDbConnectionString(oleDbString);
    TOdbcConnectInfo info;

    std::string driver = Trim(ValueOf(pairs, {"driver"}));
    if (driver.size() >= 2 && driver.front() == '{' && driver.back() == '}') {
        driver = driver.substr(1, driver.size() - 2);
    }
    if (driver.empty()) {
        driver = DefaultDriver;
    }
    info.DriverName = driver;
    const bool freeTds = IsFreeTds(driver);

    const std::string dataSource =
        ValueOf(pairs, {"data source", "server", "address", "addr", "network address"});
    if (Trim(dataSource).empty()) {
        Fail("The connection string names no server (Data Source)");
    }
    const TServerAddress address = ParseDataSource(dataSource);

    std::string& out = info.OdbcString;
    // Driver names hold blanks more often than not; braces always work.
    out += "Driver={" + driver + "};";
    if (freeTds) {
        if (!address.Instance.empty() && !address.Port) {
            Append(out, "Server", address.Host + "\\" + address.Instance);
        } else {
            Append(out, "Server", address.Host);
            Append(out, "Port", std::to_string(address.Port.value_or(1433)));
        }
        Append(out, "TDS_Version", "7.4");
        Append(out, "ClientCharset", "UTF-8");
        // Large packets: a snapshot of thousands of rows takes fewer reads; the server may
        // lower it.
        Append(out, "PacketSize", "32767");
    } else {
        std::string server = "tcp:" + address.Host;
        if (address.Port) {
            server += "," + std::to_string(*address.Port);
        } else if (!address.Instance.empty()) {
            server = address.Host + "\\" + address.Instance;
        }
        Append(out, "Server", server);
    }
    Append(out, "APP", ApplicationName);

    const std::string integrated =
        ValueOf(pairs, {"integrated security", "trusted_connection", "trusted connection"});
    const bool useIntegrated = !Trim(integrated).empty() && BoolValue(integrated).value_or(false);
    if (useIntegrated) {
        // FreeTDS offers Windows authentication through Kerberos (GSSAPI) only; the ticket
        // comes from the user's credential cache (kinit).
        Append(out, "Trusted_Connection", "Yes");
        info.IntegratedSecurity = true;
    } else {
        const std::string uid =
            !userId.empty() ? userId : ValueOf(pairs, {"user id", "uid", "user"});
        const std::string pwd = !password.empty() ? password : ValueOf(pairs, {"password", "pwd"});
        if (!uid.empty()) {
            Append(out, "UID", uid);
        }
        if (!pwd.empty()) {
            Append(out, "PWD", pwd);
        }
    }

    const std::string database = ValueOf(pairs, {"initial catalog", "database"});
    if (!database.empty()) {
        Append(out, "Database", database);
    }
    const std::string workstation = ValueOf(pairs, {"workstation id", "wsid"});
    if (!workstation.empty()) {
        Append(out, "WSID", workstation);
    }

    if (const std::string* timeout =
            Find(pairs, {"connect timeout", "connection timeout", "timeout"})) {
        const std::string t = Trim(*timeout);
        unsigned seconds = 0;
        auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), seconds);
        if (t.empty() || ec != std::errc() || ptr != t.data() + t.size()) {
            Fail("Invalid value for Connect Timeout: \"" + *timeout + "\"");
        }
        info.ConnectTimeout = seconds;
    }

    // Encryption: "Use Encryption for Data" (OLE DB) or "Encrypt" (newer providers).
    std::string encrypt = Lower(Trim(ValueOf(pairs, {"use encryption for data", "encrypt"})));
    if (!encrypt.empty()) {
        const bool strict = encrypt == "strict";
        const std::optional<bool> on = strict ? std::optional<bool>(true) : BoolValue(encrypt);
        if (!on) {
            Fail("Invalid value for Encrypt: \"" + encrypt + "\"");
        }
        if (freeTds) {
            Append(out, "Encryption", strict ? "strict" : (*on ? "require" : "request"));
        } else {
            Append(out, "Encrypt", strict ? "strict" : (*on ? "yes" : "no"));
        }
    }
    const std::string trust =
        ValueOf(pairs, {"trustservercertificate", "trust server certificate"});
    if (!freeTds && BoolValue(trust).value_or(false)) {
        Append(out, "TrustServerCertificate", "yes");
    }
    return info;
}
