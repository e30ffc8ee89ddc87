// Whether a connection string carries its own credentials, and the user name it names.
// A connection string may be "FILE NAME=" and the path of a data link file, whose connection
// string is analysed instead when the file can be read.
#pragma once

#include <string>

struct TConnectionAnalysis {
    bool NeedsLogin = true;
    std::string UserId;
};

TConnectionAnalysis AnalyzeConnectionString(const std::string& connectionString);

// The value of a name in a ";"-separated list (quotes have no meaning; blanks before "=" are
// part of the name; letter case ignored); empty when no piece names it.
std::string ConnectionStringValue(const std::string& connectionString, const std::string& name);
