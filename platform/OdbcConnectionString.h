// Turns an OLE DB connection string ("Provider=SQLOLEDB.1;Data Source=host,port;User ID=...")
// into the ODBC connection string of the driver that serves it.
//
// Read here (names ignore letter case; values may be quoted with " or ', doubling the quote
// inside; a ";" inside quotes does not split):
//   Data Source, Server, Address, Addr, Network Address: host, host,port, host\instance,
//     tcp:host[,port], "(local)", "." or localhost (the last three: this machine);
//   User ID, UID; Password, PWD; Initial Catalog, Database; Workstation ID;
//   Integrated Security=SSPI, by the same rule as the login analysis: Kerberos through the
//     driver where it offers it, unless the login dialog supplied credentials;
//   Connect Timeout, Connection Timeout, Timeout: seconds;
//   Use Encryption for Data, Encrypt, TrustServerCertificate, HostNameInCertificate,
//     ServerCertificate: see TlsSettings.h;
//   Driver: another installed ODBC driver for SQL Server instead of FreeTDS;
//   with Microsoft's driver, its own keywords (Authentication for Entra ID, ...) as written
//     (MicrosoftDriverKeywords.h); with FreeTDS, Authentication is refused by name;
//   "FILE NAME=path" at the start: the connection string of that data link file.
// Everything else (Provider, Persist Security Info, Application Name, ...) is ignored: the
// server always sees the application name "Tallyvane".
#pragma once

#include "OdbcValueRules.h"
#include "TlsSettings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// One name=value pair in the order written; the name trimmed, the value unquoted.
using TConnectionStringPairs = std::vector<std::pair<std::string, std::string>>;

// Splits an OLE DB connection string, honouring quotes. Throws EDbError for an unterminated
// quote.
TConnectionStringPairs ParseOleDbConnectionString(const std::string& text);

struct TOdbcConnectInfo {
    std::string OdbcString;                      // for SQLDriverConnect; empty with DataSource
    std::optional<std::uint32_t> ConnectTimeout; // from the string, when it names one
    std::string DriverName;                      // the driver asked for ("FreeTDS" by default)
    std::string Host;                            // the server's host name or address
    std::uint16_t Port = 0;                      // 0 when the instance name finds it
    bool IntegratedSecurity = false;             // Windows authentication (Kerberos) asked for
    TEncryptionRequest Encryption;               // what the string asks of encryption
    // A user name or password that no connection string carries to both the driver manager
    // and FreeTDS goes in SQLConnect's own arguments, which no parser reads, with this private
    // data source holding the rest (FreeTdsConfig.h). The server then sees no application
    // name or workstation ID: FreeTDS reads those from a connection string only.
    std::string DataSource;
    std::string UserId;
    std::string Password;
};

// userId and password come from OnWillConnect and, when not empty, replace the string's own.
// Throws EDbError with a clear message for what cannot be translated (no server named,
// integrated security without Kerberos in the driver, a bad port, a NUL anywhere, a value
// that the driver manager and the driver would read differently: the message names its key).
// Every value the user gave reaches the driver exactly as given, or the string is refused;
// every value is checked as the driver manager reads it too (OdbcValueRules.h), so none can
// name another driver, a data source or a file to it.
TOdbcConnectInfo TranslateConnectionString(const std::string& oleDbString,
                                           const std::string& userId, const std::string& password);
