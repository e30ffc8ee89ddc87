// Short catalog reads run on demand for one process, beside GetInputBuffer and KillProcess:
// who a SPID belongs to right now (a kill must not hit a session that took over the SPID),
// the names of the server's databases, and the names behind a wait resource's ids.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// The session a SPID belongs to. LoginTime tells two sessions of the same login apart.
struct TSessionIdentity {
    std::string Login;
    std::string Host;
    std::string Program;
    std::string LoginTime; // "yyyy-mm-dd hh:mi:ss.mmm"

    bool operator==(const TSessionIdentity&) const = default;
};

// Schema, object and index names of a wait resource; empty where the server gave none.
struct TObjectNames {
    std::string Schema;
    std::string Object;
    std::string Index;
};

std::string SessionIdentityQuery(std::int32_t spid);
extern const char* const DatabaseNamesQueryText;
using TDatabaseNames = std::map<std::int32_t, std::string>;
