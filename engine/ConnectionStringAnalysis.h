// Whether a connection string carries its own credentials, and the user name it names.
// A connection string may be "FILE NAME=" and the path of a data link file, whose connection
// string is analysed instead when the file can be read.
#pragma once

#include "ConnectionStringPieces.h"

#include <string>

struct TConnectionAnalysis {
    bool NeedsLogin = true;
    std::string UserId;
};

TConnectionAnalysis AnalyzeConnectionString(const std::string& connectionString);
