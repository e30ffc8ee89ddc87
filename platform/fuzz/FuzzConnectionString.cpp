// libFuzzer target: the OLE DB to ODBC connection string translation. Whatever the input, the
// ODBC string must read the same to the unixODBC driver manager (through its narrow copy, every
// UTF-16 unit cut to its low byte) and to FreeTDS, with no key the translation did not mean to
// write; for values put in fields, both readers must see exactly those values, or the
// credentials travel apart untouched, or the translation refused.
#include "ConnectionStringPieces.h"
#include "ConnectionStringReaders.h"
#include "DbTypes.h"
#include "OdbcConnectionString.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

using connstr_readers::OleDbQuoted;
using connstr_readers::TPairs;

namespace {

[[noreturn]] void Found(const std::string& what, const std::string& oleDb,
                        const std::string& odbc) {
    std::fprintf(stderr, "%s\n  OLE DB: %s\n  ODBC:   %s\n", what.c_str(), oleDb.c_str(),
                 odbc.c_str());
    std::abort();
}

std::vector<std::string> Fields(const std::string& data, std::size_t count) {
    std::vector<std::string> fields(1);
    for (char c : data) {
        if (c == '\x01' && fields.size() < count) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    fields.resize(count);
    return fields;
}

// Values in their own fields: both readers must see exactly these.
void Structured(const std::string& data) {
    const std::vector<std::string> f = Fields(data, 6);
    const std::string& host = f[0];
    const std::string oleDb = "Provider=SQLOLEDB.1;Data Source=" + OleDbQuoted(host + ",1433") +
                              ";User ID=" + OleDbQuoted(f[1]) + ";Password=" + OleDbQuoted(f[2]) +
                              ";Initial Catalog=" + OleDbQuoted(f[3]) +
                              ";Workstation ID=" + OleDbQuoted(f[4]);
    // The last field, when present, is what the login dialog typed: "user\x02password".
    std::string typedUser;
    std::string typedPassword;
    if (const std::size_t cut = f[5].find('\x02'); cut != std::string::npos) {
        typedUser = f[5].substr(0, cut);
        typedPassword = f[5].substr(cut + 1);
    }
    TOdbcConnectInfo info;
    try {
        info = TranslateConnectionString(oleDb, typedUser, typedPassword);
    } catch (const EDbError&) {
        return; // refused
    }
    const bool integrated =
        typedUser.empty() && typedPassword.empty() && UsesIntegratedSecurity(oleDb);
    const std::string& uid = typedUser.empty() ? f[1] : typedUser;
    const std::string& pwd = typedPassword.empty() ? f[2] : typedPassword;
    if (!info.DataSource.empty()) {
        // SQLConnect: nothing goes through a connection string, the credentials unchanged.
        if (integrated || !info.OdbcString.empty() || info.UserId != uid || info.Password != pwd ||
            info.DataSource.rfind("tallyvane-dsn-", 0) != 0) {
            Found("credentials apart, but not as given", oleDb, info.OdbcString);
        }
        return;
    }
    TPairs expected = {{"Driver", "FreeTDS"},  {"Server", info.Host},      {"Port", "1433"},
                       {"TDS_Version", "7.4"}, {"ClientCharset", "UTF-8"}, {"PacketSize", "32767"},
                       {"APP", "Tallyvane"}};
    if (integrated) {
        expected.emplace_back("Trusted_Connection", "Yes");
    } else {
        if (!uid.empty()) {
            expected.emplace_back("UID", uid);
        }
        if (!pwd.empty()) {
            expected.emplace_back("PWD", pwd);
        }
    }
    if (!f[3].empty()) {
        expected.emplace_back("Database", f[3]);
    }
    if (!f[4].empty()) {
        expected.emplace_back("WSID", f[4]);
    }
    const std::string why = connstr_readers::Disagreement(info.OdbcString, expected);
    if (!why.empty()) {
        Found(why, oleDb, info.OdbcString);
    }
}

// Any string at all: whatever the translation writes reads the same to both, with only the
// keys it writes, each once, the driver asked for first.
void Raw(const std::string& oleDb) {
    TOdbcConnectInfo info;
    try {
        info = TranslateConnectionString(oleDb, "", "");
    } catch (const EDbError&) {
        return;
    }
    static const std::set<std::string> allowed = {"DRIVER",
                                                  "SERVER",
                                                  "SERVERNAME",
                                                  "PORT",
                                                  "TDS_VERSION",
                                                  "CLIENTCHARSET",
                                                  "PACKETSIZE",
                                                  "APP",
                                                  "UID",
                                                  "PWD",
                                                  "TRUSTED_CONNECTION",
                                                  "DATABASE",
                                                  "WSID",
                                                  "ENCRYPTION",
                                                  "ENCRYPT",
                                                  "TRUSTSERVERCERTIFICATE",
                                                  "HOSTNAMEINCERTIFICATE",
                                                  "SERVERCERTIFICATE"};
    if (!info.DataSource.empty()) {
        if (!info.OdbcString.empty()) {
            Found("a connection string beside SQLConnect's data source", oleDb, info.OdbcString);
        }
        return;
    }
    const TPairs dm =
        connstr_readers::ReadAsDriverManager(connstr_readers::DriverManagerView(info.OdbcString));
    std::set<std::string> seen;
    for (const auto& [key, value] : dm) {
        const std::string k = connstr_readers::Upper(key);
        if (allowed.count(k) == 0) {
            Found("unexpected key " + key, oleDb, info.OdbcString);
        }
        if (!seen.insert(k).second) {
            Found("key twice: " + key, oleDb, info.OdbcString);
        }
    }
    if (dm.empty() || connstr_readers::Upper(dm[0].first) != "DRIVER" ||
        dm[0].second != DriverManagerCopy(info.DriverName)) {
        Found("the driver is not the one asked for", oleDb, info.OdbcString);
    }
    const std::string d = connstr_readers::Upper(info.DriverName);
    const bool freeTds =
        d.find("FREETDS") != std::string::npos || d.find("TDSODBC") != std::string::npos;
    if (freeTds) {
        // What FreeTDS reads, checked against the manager's reading of the same string.
        const TPairs tds = connstr_readers::ReadAsFreeTds(info.OdbcString);
        const std::string why = connstr_readers::Disagreement(info.OdbcString, tds);
        if (!why.empty()) {
            Found(why, oleDb, info.OdbcString);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Certificate checks write FreeTDS configuration sections: keep them out of the way.
    static char dir[] = "/tmp/tallyvane-connstr-fuzz-XXXXXX";
    if (::mkdtemp(dir) != nullptr) {
        ::setenv("XDG_RUNTIME_DIR", dir, 1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 4096) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1) {
        Structured(text);
    } else {
        Raw(text);
    }
    return 0;
}
