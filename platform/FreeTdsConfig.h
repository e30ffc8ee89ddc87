// FreeTDS reads its certificate settings (ca file, host name check) only from its
// configuration file, and only for a connection that names a section of it (Servername=),
// never for Server=. So the program keeps a private configuration file of its own: one
// section per distinct server and certificate setting, no password ever, readable by the
// user alone, in the user's runtime folder, removed when the program ends. FREETDSCONF
// points the driver at it.
#pragma once

#include <optional>
#include <string>

struct TFreeTdsServer {
    std::string Host;
    std::optional<unsigned> Port;
    std::string Instance;
    std::string CaFile; // empty: the system's trusted authorities
};

// The section's name for Servername=, written to the file when it is new. Thread-safe.
// Throws EDbError when a value cannot be written as it is (';', '#', a line break, a line
// longer than FreeTDS reads), when the folder is not private to this user, or when the file
// cannot be written.
std::string FreeTdsSectionFor(const TFreeTdsServer& server);

// The private file's path ("" before the first section).
std::string FreeTdsConfigPath();
