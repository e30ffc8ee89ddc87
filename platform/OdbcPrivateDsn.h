// Credentials that the FreeTDS driver cannot read from a connection string (a value holding
// "};") go to SQLConnect instead, which takes them as arguments but wants a data source name
// for everything else. This keeps those data sources in an odbc.ini of the program's own,
// which the driver manager reads through ODBCINI (set before main, while the process has one
// thread). Private to the platform layer.
#pragma once

#include <string>

// The name of a data source that holds what the ODBC connection string says (written on first
// use). Throws EDbError when the file cannot be written.
std::string PrivateDataSource(const std::string& odbcString);
