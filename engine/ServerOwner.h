// What a server monitor calls in its owner (the main window; a test double in tests).
// Always called on the GUI thread.
#pragma once

#include "DeadlockReport.h"

#include <exception>
#include <string>
#include <vector>

class TServerData;

class IServerOwner {
public:
    virtual ~IServerOwner() = default;
    // The monitor's node, the process view (when it shows this server) and the tray icon
    // should show the monitor's fields as they are now.
    virtual void ServerChanged(TServerData& server) = 0;
    // Sound and balloon for this server; true when a warning was issued.
    virtual bool Warn(TServerData& server) = 0;
    // Adds the error being handled to the error log. Called inside the catch of that error.
    virtual void LogError(const std::string& serverName, const std::exception& error) = 0;
    // Deadlock reports read from the server that no earlier call gave, oldest first.
    virtual void DeadlocksRead(TServerData& /*server*/,
                               const std::vector<TDeadlockReport>& /*reports*/) {}
};
