#include "ConnectionStringAnalysis.h"

#include "DataLinkFile.h"

#include <algorithm>

namespace {

bool IsTrue(const std::string& value) {
    return value.size() == 4 && std::equal(value.begin(), value.end(), "TRUE", [](char c, char u) {
               return (c >= 'a' && c <= 'z' ? c - 32 : c) == u;
           });
}

} // namespace

TConnectionAnalysis AnalyzeConnectionString(const std::string& connectionString) {
    std::string s = connectionString;
    // A data link file that cannot be read leaves the text as it is (which then names no
    // credentials).
    if (const std::optional<std::string> path = DataLinkFilePath(s)) {
        if (std::optional<std::string> loaded = LoadDataLinkFile(*path)) {
            s = *loaded;
        }
    }
    TConnectionAnalysis result;
    if (UsesIntegratedSecurity(s)) {
        result.NeedsLogin = false;
    } else {
        result.NeedsLogin = !IsTrue(ConnectionStringValue(s, "Persist Security Info"));
    }
    result.UserId = ConnectionStringValue(s, "User ID");
    return result;
}
