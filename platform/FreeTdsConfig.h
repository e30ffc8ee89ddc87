// FreeTDS reads its certificate settings (ca file, host name check) only from its
// configuration file, and only for a connection that names a section of it (Servername=),
// never for Server=. So the program keeps a private configuration file of its own: one
// section per distinct server and certificate setting, no password ever, readable by the
// user alone, in the user's runtime folder, removed when the program ends. FREETDSCONF
// points the driver at it.
//
// A user name or password that no connection string can carry travels in SQLConnect's own
// arguments, which no parser reads; SQLConnect names a data source, so the program keeps a
// private odbc.ini beside it (ODBCINI points the driver manager at it) whose data sources
// name a section of the FreeTDS file, again without any password.
#pragma once

#include <optional>
#include <string>

struct TFreeTdsServer {
    std::string Host;
    std::optional<unsigned> Port;
    std::string Instance;
    std::string CaFile;                 // empty: the system's trusted authorities
    std::string Encryption = "require"; // request, require, or "" for FreeTDS's default
    bool CheckCertificate = true;       // against CaFile and the host name
};

// The section's name for Servername=, written to the file when it is new. Thread-safe.
// Throws EDbError when a value cannot be written as it is (';', '#', a line break, a line
// longer than FreeTDS reads), when the folder is not private to this user, or when the file
// cannot be written.
std::string FreeTdsSectionFor(const TFreeTdsServer& server);

// The private file's path ("" before the first section).
std::string FreeTdsConfigPath();

struct TOdbcDataSource {
    std::string Driver;     // an installed driver's name (odbcinst.ini)
    std::string Servername; // the FreeTDS section (FreeTdsSectionFor)
    std::string Database;   // empty: the login's default
};

// The data source's name for SQLConnect, written to the private odbc.ini when it is new.
// Thread-safe. Throws EDbError as FreeTdsSectionFor does (the database named).
std::string OdbcDataSourceFor(const TOdbcDataSource& source);

// The private odbc.ini's path ("" before the first data source).
std::string OdbcIniPath();
