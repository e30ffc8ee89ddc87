// Reads the connection string stored in a data link (.udl) file: UTF-16LE text with a byte
// order mark, an "[oledb]" line, a comment line ("; Everything after this line is an OLE DB
// initstring") and the connection string. UTF-8 files (with or without a mark) are read too.
#pragma once

#include <optional>
#include <string>

// The connection string (UTF-8), or nothing when the file cannot be read or holds none.
std::optional<std::string> LoadDataLinkFile(const std::string& path);
