// The plain reading of an OLE DB connection string that decides whether a login is needed:
// pieces between ";", each trimmed, "name=value" with the name compared ignoring letter case.
// Quotes mean nothing here, and blanks before "=" belong to the name. The login analysis and
// the connection's translation both ask these, so they never disagree about a string.
#pragma once

#include <optional>
#include <string>

// The trimmed value of the first piece named name; empty when none is.
std::string ConnectionStringValue(const std::string& connectionString, const std::string& name);

// Windows integrated security: "Integrated Security=SSPI" and no other spelling.
bool UsesIntegratedSecurity(const std::string& connectionString);

// The path of a data link file when the string is exactly "FILE NAME=" (letter case ignored)
// and a path: at most its first 260 characters.
std::optional<std::string> DataLinkFilePath(const std::string& connectionString);
