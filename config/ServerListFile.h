// The registered servers in "servers.ini": one section per server, named after it, with the
// keys Enabled, ConnectionString and Timeout.
#pragma once

#include "FileNames.h"
#include "ServerInfo.h"

#include <string>
#include <vector>

// The servers in file order (ServersFileName unless given); a missing file gives none.
// Each section is read on its own, so two sections whose names differ only in letter case (or
// not at all) stay two servers with their own values. A section without ConnectionString gets
// one built from its name, UserName and Password (LoginConnectionString). Enabled defaults to
// true, Timeout to 30; a negative Timeout counts as no number.
// Throws Exception "Cannot open file ..." when the file exists but cannot be read, and
// "Cannot read file ..." (naming the line) when it holds a NUL or has lines but no section:
// such a file is not taken in part, and SaveServers refuses to replace it.
std::vector<TServerInfo> LoadServers();
std::vector<TServerInfo> LoadServers(const std::string& fileName);

// Writes the servers in the order given, each as its own section with the three keys, and
// nothing of the file's previous content. Throws Exception "Cannot open file ..." or "Cannot
// read file ..." when the existing file cannot be read (whole), "Cannot create file ..." when the
// new one cannot be written (the old file then stays as it was), and refuses (Exception) names and
// values with a line break, which the file cannot hold.
void SaveServers(const std::vector<TServerInfo>& servers);
void SaveServers(const std::vector<TServerInfo>& servers, const std::string& fileName);

// "Provider=SQLOLEDB.1;Data Source=<server>;User ID=<user>;Password=<password>;
// Initial Catalog=master;Application Name=Tallyvane", each of the three in double quotes when
// it holds ";", starts with a quote or has blanks at either end (so it is not cut there).
std::string LoginConnectionString(const std::string& server, const std::string& userName,
                                  const std::string& password);

// Names that address the same section of the file: equal after trimming, ignoring ASCII
// letter case. Registering a server under such a name of another server must be refused.
bool SameServerName(const std::string& a, const std::string& b);
