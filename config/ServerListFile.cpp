#include "ServerListFile.h"

#include "Errors.h"
#include "IniFile.h"

#include <algorithm>
#include <cstdint>

namespace {

// Blanks the connection string reader trims from an unquoted value.
bool TrimmedBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A connection string value as the OLE DB syntax needs it: in double quotes (doubled inside)
// when it holds ";", starts with a quote or has blanks (tabs, line breaks) at either end;
// otherwise as it is.
std::string OleDbValue(const std::string& value) {
    const bool plain =
        value.find(';') == std::string::npos &&
        (value.empty() || (value.front() != '"' && value.front() != '\'' &&
                           !TrimmedBlank(value.front()) && !TrimmedBlank(value.back())));
    if (plain)
        return value;
    std::string quoted = "\"";
    for (char c : value) {
        quoted += c;
        if (c == '"')
            quoted += '"';
    }
    return quoted + "\"";
}

} // namespace

std::string LoginConnectionString(const std::string& server, const std::string& userName,
                                  const std::string& password) {
    return "Provider=SQLOLEDB.1;Data Source=" + OleDbValue(server) +
           ";User ID=" + OleDbValue(userName) + ";Password=" + OleDbValue(password) +
           ";Initial Catalog=master;Application Name=Tallyvane";
}

bool SameServerName(const std::string& a, const std::string& b) {
    return SameIniName(TrimIni(a), TrimIni(b));
}

namespace {

// The file as both loading and saving read it.
TIniText ReadServerList(const std::string& fileName) {
    TIniText ini = ReadIniFile(fileName);
    // Lines but no section: not a server list this program wrote. Read as empty, the next save
    // would replace the user's lines with the servers registered since.
    if (ini.SectionCount() == 0) {
        const std::vector<std::string>& lines = ini.PreambleLines();
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (!TrimIni(lines[i]).empty())
                throw Exception("Cannot read file \"" + fileName + "\": it has no [server] " +
                                "section, line " + std::to_string(i + 1) +
                                " is no part of one. Nothing of the file is used, and it is " +
                                "not saved over");
    }
    return ini;
}

} // namespace

std::vector<TServerInfo> LoadServers(const std::string& fileName) {
    const TIniText ini = ReadServerList(fileName);
    std::vector<TServerInfo> servers;
    for (int section = 0; section < ini.SectionCount(); ++section) {
        const auto number = [&](const char* key) {
            const auto value = ini.Value(section, key);
            return value ? ParseWholeNumber(*value) : std::nullopt;
        };
        TServerInfo info;
        info.Name = ini.SectionName(section);
        info.Enabled = number("Enabled").value_or(1) != 0;
        info.ConnectionString = ini.Value(section, "ConnectionString").value_or("");
        if (info.ConnectionString.empty())
            info.ConnectionString =
                LoginConnectionString(info.Name, ini.Value(section, "UserName").value_or(""),
                                      ini.Value(section, "Password").value_or(""));
        // A negative time-out has no meaning (and would wrap around as unsigned).
        const std::int32_t timeout = number("Timeout").value_or(30);
        info.Timeout = static_cast<std::uint32_t>(timeout < 0 ? 30 : timeout);
        servers.push_back(std::move(info));
    }
    return servers;
}

std::vector<TServerInfo> LoadServers() {
    return LoadServers(ServersFileName);
}

void SaveServers(const std::vector<TServerInfo>& servers, const std::string& fileName) {
    // Read first: a file that exists but cannot be read is reported, not overwritten.
    TIniText ini = ReadServerList(fileName);
    ini.Clear();
    for (const TServerInfo& server : servers) {
        if (!TIniText::FitsOnOneLine(server.Name) ||
            !TIniText::FitsOnOneLine(server.ConnectionString))
            throw Exception(
                "Server \"" +
                server.Name.substr(0, server.Name.find_first_of(std::string("\r\n\0", 3))) +
                "\" cannot be saved: its name or connection string has a line break");
        // One section per server, also when another one has the same name ignoring case, so
        // that no server's values are merged into another's.
        const int section = ini.AddSection(server.Name);
        ini.SetValue(section, "Enabled", server.Enabled ? "1" : "0");
        ini.SetValue(section, "ConnectionString", server.ConnectionString);
        // Kept within what a whole number in the file can hold.
        ini.SetValue(section, "Timeout",
                     std::to_string(std::min<std::uint32_t>(server.Timeout, INT32_MAX)));
    }
    WriteIniFile(fileName, ini);
}

void SaveServers(const std::vector<TServerInfo>& servers) {
    PrepareFolderOf(ServersFileName);
    SaveServers(servers, ServersFileName);
}
