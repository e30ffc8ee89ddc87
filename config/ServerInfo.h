// One registered server as the server list file keeps it; copied by value.
#pragma once

#include <cstdint>
#include <string>

struct TServerInfo {
    std::string Name;
    bool Enabled = true;
    std::string ConnectionString; // OLE DB connection string, or "FILE NAME=" and a path
    std::uint32_t Timeout = 30;   // seconds

    friend bool operator==(const TServerInfo&, const TServerInfo&) = default;
};
