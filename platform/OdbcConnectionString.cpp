#include "OdbcConnectionString.h"

#include "ConnectionStringPieces.h"
#include "DataLinkFile.h"
#include "DbTypes.h"
#include "MicrosoftDriverKeywords.h"
#ifndef _WIN32
#include "FreeTdsConfig.h"
#endif

#include <QString>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <initializer_list>

namespace {

#ifdef _WIN32
// The driver every Windows has.
const char* const DefaultDriver = "SQL Server";
#else
const char* const DefaultDriver = "FreeTDS";
#endif
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

// The connect call hands the string over as UTF-16: anything else would be replaced on the way.
bool IsUtf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t more = 0;
        char32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + more >= s.size()) {
            return false;
        }
        for (std::size_t k = 1; k <= more; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((more == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (more == 3 && (cp < 0x10000 || cp > 0x10FFFF))) {
            return false;
        }
        i += more + 1;
    }
    return true;
}

// Why a value cannot be written for the driver, in words a DBA can act on.
std::string Unwritable(const std::string& key, const std::string& value, bool freeTds) {
    const std::u16string wide = QString::fromStdString(value).toStdU16String();
    for (const char16_t unit : wide) {
        const char low = static_cast<char>(unit & 0xFF);
        if (unit > 0xFF && (low == '}' || low == ';' || low == '{')) {
            char code[16];
            std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(unit));
            return "The value of " + key + " holds the character " + code +
                   ", which the ODBC driver manager reads as \"" + low +
                   "\" (it keeps only the low byte of each character); it cannot be passed "
                   "safely";
        }
    }
    return "The value of " + key +
           (freeTds ? " holds \"}\" together with \";\" or a leading \"{\", which the ODBC "
                      "driver manager and the FreeTDS driver would read differently"
                    : " cannot be written so that the ODBC driver manager and the driver read "
                      "it alike");
}

// The ODBC string under construction, each value quoted the way its driver reads it back and
// checked as the driver manager reads it: every keyword goes through Append.
struct TOdbcStringBuilder {
    bool FreeTds = true;
    std::string Text;

    static void CheckText(const std::string& key, const std::string& value) {
        if (value.find('\0') != std::string::npos) {
            Fail("The value of " + key + " holds a NUL character");
        }
        if (!IsUtf8(value)) {
            Fail("The value of " + key + " is not valid UTF-8 text");
        }
    }

    // The value as written, or nothing when no writing serves both readers.
    std::optional<std::string> Quoted(const std::string& key, const std::string& value) const {
        CheckText(key, value);
        return FreeTds ? FreeTdsQuote(value) : OdbcQuote(value);
    }

    void Append(const std::string& key, const std::string& value) {
        const std::optional<std::string> quoted = Quoted(key, value);
        if (!quoted) {
            Fail(Unwritable(key, value, FreeTds));
        }
        Text += key + '=' + *quoted + ';';
    }
};

// A data link file ("FILE NAME=path"): its connection string, then whatever the text names
// after the path (the appended application name). A file that cannot be read is an error
// here: connecting without it could only fail with a less helpful message.
TConnectionStringPairs ExpandDataLink(const std::string& oleDbString, TConnectionStringPairs pairs,
                                      std::string& loginText) {
    if (!DataLinkFilePath(oleDbString) || pairs.empty()) {
        return pairs;
    }
    const std::string path = pairs.front().second;
    const std::optional<std::string> loaded = LoadDataLinkFile(path);
    if (!loaded) {
        Fail("Cannot read the data link file \"" + path + "\"");
    }
    TConnectionStringPairs expanded = ParseOleDbConnectionString(*loaded);
    expanded.insert(expanded.end(), pairs.begin() + 1, pairs.end());
    loginText = *loaded;
    return expanded;
}

// section: FreeTDS's configuration section that names the server (certificate checks).
void AppendServer(TOdbcStringBuilder& out, const TServerAddress& address,
                  const std::string& section) {
    if (out.FreeTds) {
        if (!section.empty()) {
            out.Append("Servername", section);
        } else if (!address.Instance.empty() && !address.Port) {
            out.Append("Server", address.Host + "\\" + address.Instance);
        } else {
            out.Append("Server", address.Host);
            out.Append("Port", std::to_string(address.Port.value_or(1433)));
        }
        out.Append("TDS_Version", "7.4");
        out.Append("ClientCharset", "UTF-8");
        // Large packets: a snapshot of thousands of rows takes fewer reads; the server may
        // lower it.
        out.Append("PacketSize", "32767");
        return;
    }
    std::string server = "tcp:";
    server += address.Host;
    if (address.Port) {
        server += ',';
        server += std::to_string(*address.Port);
    } else if (!address.Instance.empty()) {
        server = address.Host + "\\" + address.Instance;
    }
    out.Append("Server", server);
    // Character data in UTF-8 whatever the user's locale, as with FreeTDS.
    out.Append("ClientCharset", "UTF-8");
}

// The private data source that carries everything but the credentials to FreeTDS when they
// travel in SQLConnect's own arguments.
void UseSeparateLogin(TOdbcConnectInfo& info, const TServerAddress& address,
                      const std::string& database, const std::string& uid, const std::string& pwd) {
#ifdef _WIN32
    (void)info;
    (void)address;
    (void)database;
    (void)uid;
    (void)pwd;
    Fail("The user name or password holds characters that no connection string can carry to "
         "the driver (\"}\" together with \";\", or characters the driver manager misreads)");
#else
    using TMode = TEncryptionRequest::TMode;
    TFreeTdsServer server{address.Host, address.Port, address.Instance, info.Encryption.CaFile};
    server.Encryption = info.Encryption.Mode == TMode::NotAsked ? ""
                        : info.Encryption.Demanded()            ? "require"
                                                                : "request";
    server.CheckCertificate = info.Encryption.ChecksCertificate();
    const std::string section = FreeTdsSectionFor(server);
    info.DataSource = OdbcDataSourceFor({info.DriverName, section, database});
    info.UserId = uid;
    info.Password = pwd;
#endif
}

struct TCredentials {
    std::string UserId;
    std::string Password;
    bool Separate = false; // no connection string can carry them: SQLConnect's arguments
};

// Integrated security follows the login analysis's rule, and credentials typed in the login
// dialog always win: a string that made the dialog appear never connects without them.
TCredentials AppendCredentials(TOdbcStringBuilder& out, TOdbcConnectInfo& info,
                               const TConnectionStringPairs& pairs, const std::string& loginText,
                               const std::string& userId, const std::string& password) {
    if (userId.empty() && password.empty() && UsesIntegratedSecurity(loginText)) {
        // FreeTDS offers Windows authentication through Kerberos (GSSAPI) only; the ticket
        // comes from the user's credential cache (kinit).
        out.Append("Trusted_Connection", "Yes");
        info.IntegratedSecurity = true;
        return {};
    }
    TCredentials c;
    c.UserId = !userId.empty() ? userId : ValueOf(pairs, {"user id", "uid", "user"});
    c.Password = !password.empty() ? password : ValueOf(pairs, {"password", "pwd"});
    if (c.UserId.empty() && !c.Password.empty()) {
        // FreeTDS would drop the password and try Kerberos instead.
        Fail("The connection string gives a password (PWD) but no user name (User ID)");
    }
    // The connection string carries them when it can: SQLConnect would lose the application
    // name and the workstation ID, which FreeTDS reads from a connection string only.
    if (out.FreeTds && (!out.Quoted("UID", c.UserId) || !out.Quoted("PWD", c.Password))) {
        c.Separate = true;
        return c;
    }
    if (!c.UserId.empty()) {
        out.Append("UID", c.UserId);
    }
    if (!c.Password.empty()) {
        out.Append("PWD", c.Password);
    }
    return c;
}

void AppendEncryption(TOdbcStringBuilder& out, const TEncryptionRequest& request,
                      const std::string& host) {
    const auto keywords = out.FreeTds ? FreeTdsEncryptionKeywords(request, host)
                                      : MicrosoftEncryptionKeywords(request);
    for (const auto& [key, value] : keywords) {
        out.Append(key, value);
    }
}

// Microsoft's driver takes its own keywords as written, each by the rules of every value;
// FreeTDS refuses the ones only that driver can honour, and ignores the rest as before.
void AppendMicrosoftDriverKeywords(TOdbcStringBuilder& out, const TConnectionStringPairs& pairs,
                                   const std::string& driver) {
    const bool microsoft = !out.FreeTds && IsMicrosoftOdbcDriver(driver);
    for (const TMicrosoftDriverKeyword& keyword : MicrosoftDriverKeywords()) {
        const std::string* value = Find(pairs, {Lower(keyword.Name).c_str()});
        if (value == nullptr)
            continue;
        if (microsoft)
            out.Append(keyword.Name, *value);
        else if (out.FreeTds && keyword.NeedsMicrosoftDriver)
            Fail(NeedsMicrosoftDriverText(keyword.Name));
    }
}

std::optional<std::uint32_t> ConnectTimeoutOf(const TConnectionStringPairs& pairs) {
    const std::string* timeout = Find(pairs, {"connect timeout", "connection timeout", "timeout"});
    if (timeout == nullptr) {
        return std::nullopt;
    }
    const std::string t = Trim(*timeout);
    unsigned seconds = 0;
    auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), seconds);
    if (t.empty() || ec != std::errc() || ptr != t.data() + t.size()) {
        Fail("Invalid value for Connect Timeout: \"" + *timeout + "\"");
    }
    // 0 ("wait for ever") keeps the connection's own limit: a hung server must not stop a
    // monitor for good.
    if (seconds == 0) {
        return std::nullopt;
    }
    return seconds;
}

// A NUL ends the wide string the driver manager is handed: every later key would vanish.
void RefuseNul(const TConnectionStringPairs& pairs, const std::string& text,
               const std::string& userId, const std::string& password) {
    for (const auto& [name, value] : pairs) {
        if (name.find('\0') != std::string::npos || value.find('\0') != std::string::npos) {
            Fail("The value of " + (name.find('\0') == std::string::npos ? name : "a key") +
                 " holds a NUL character");
        }
    }
    if (userId.find('\0') != std::string::npos) {
        Fail("The value of User ID holds a NUL character");
    }
    if (password.find('\0') != std::string::npos) {
        Fail("The value of Password holds a NUL character");
    }
    if (text.find('\0') != std::string::npos) {
        Fail("The connection string holds a NUL character");
    }
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

TOdbcConnectInfo TranslateConnectionString(const std::string& oleDbString,
                                           const std::string& userId, const std::string& password) {
    std::string loginText = oleDbString;
    const TConnectionStringPairs pairs =
        ExpandDataLink(oleDbString, ParseOleDbConnectionString(oleDbString), loginText);
    RefuseNul(pairs, loginText, userId, password);
    TOdbcConnectInfo info;

    std::string driver = Trim(ValueOf(pairs, {"driver"}));
    if (driver.size() >= 2 && driver.front() == '{' && driver.back() == '}') {
        driver = driver.substr(1, driver.size() - 2);
    }
    if (driver.empty()) {
        driver = DefaultDriver;
    }
    if (const std::string problem = DriverNameProblem(driver); !problem.empty()) {
        Fail("Invalid driver name \"" + driver + "\": " + problem);
    }
    info.DriverName = driver;

    const std::string dataSource =
        ValueOf(pairs, {"data source", "server", "address", "addr", "network address"});
    if (Trim(dataSource).empty()) {
        Fail("The connection string names no server (Data Source)");
    }

    TOdbcStringBuilder out;
    out.FreeTds = IsFreeTds(driver);
    // Driver names hold blanks more often than not; braces always work.
    out.Text = "Driver={" + driver + "};";
    const TServerAddress address = ParseDataSource(dataSource);
    info.Encryption = ReadEncryptionRequest(pairs);
    info.Host = address.Host;
    info.Port =
        static_cast<std::uint16_t>(address.Port.value_or(address.Instance.empty() ? 1433 : 0));
    std::string section;
    if (out.FreeTds && info.Encryption.ChecksCertificate()) {
        FreeTdsEncryptionKeywords(info.Encryption, address.Host); // refuses what cannot be done
#ifdef _WIN32
        // Its certificate settings live only in its configuration file, which the program
        // keeps on Linux alone; connecting without the check would be a silent downgrade.
        Fail("FreeTDS checks the server's certificate only through its configuration file, "
             "which Tallyvane does not write on Windows: use Microsoft's driver "
             "(Driver={ODBC Driver 18 for SQL Server}) or set TrustServerCertificate=yes");
#else
        section = FreeTdsSectionFor(
            {address.Host, address.Port, address.Instance, info.Encryption.CaFile});
#endif
    }
    AppendServer(out, address, section);
    out.Append("APP", ApplicationName);
    const TCredentials credentials =
        AppendCredentials(out, info, pairs, loginText, userId, password);
    const std::string database = ValueOf(pairs, {"initial catalog", "database"});
    if (!database.empty()) {
        out.Append("Database", database);
    }
    const std::string workstation = ValueOf(pairs, {"workstation id", "wsid"});
    if (!workstation.empty()) {
        out.Append("WSID", workstation);
    }
    info.ConnectTimeout = ConnectTimeoutOf(pairs);
    AppendEncryption(out, info.Encryption, address.Host);
    AppendMicrosoftDriverKeywords(out, pairs, driver);
    if (credentials.Separate) {
        // Everything else was checked as the string would carry it; the data source carries
        // the server, the database and the encryption instead.
        UseSeparateLogin(info, address, database, credentials.UserId, credentials.Password);
        return info;
    }
    info.OdbcString = std::move(out.Text);
    return info;
}
