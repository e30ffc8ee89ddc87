// A recording owner for server monitors, and the settings and hooks a monitor test starts from.
#pragma once

#include "Errors.h"
#include "EventWait.h"
#include "ServerData.h"
#include "ServerOwner.h"
#include "Settings.h"
#include "TdsSimProcess.h"
#include "UiHooks.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace monitortest {

// The texts of every SQL batch the simulated server received, in order.
inline std::vector<std::string> Batches(const tallyvane::testsupport::TdsSimProcess& sim) {
    std::vector<std::string> texts;
    for (const tallyvane::testsupport::SimLogEntry& e : sim.logEntries()) {
        if (e.at("event") == "batch") {
            texts.push_back(e.at("text"));
        }
    }
    return texts;
}

// How often the simulated server logged an event ("login", "attention", ...).
inline int Count(const tallyvane::testsupport::TdsSimProcess& sim, const std::string& event) {
    int n = 0;
    for (const tallyvane::testsupport::SimLogEntry& e : sim.logEntries()) {
        n += e.at("event") == event ? 1 : 0;
    }
    return n;
}

struct LoggedError {
    std::string Server;
    std::string Message;
    std::string Kind;
};

// What the main window would see: every ServerChanged with the fields it reads at that moment,
// every Warn, every LogError with the error's kind.
class RecordingOwner : public IServerOwner {
public:
    struct Change {
        bool Busy;
        std::uint8_t State;
        int Count;
    };
    void ServerChanged(TServerData& server) override {
        Changes.push_back({server.Busy, server.State, server.ProcessList.Count()});
    }
    bool Warn(TServerData&) override {
        ++Warnings;
        return WarnResult;
    }
    void LogError(const std::string& serverName, const std::exception& error) override {
        const auto* known = dynamic_cast<const Exception*>(&error);
        Errors.push_back({serverName, error.what(), known ? known->ClassName() : "(foreign)"});
    }

    std::vector<Change> Changes;
    int Warnings = 0;
    bool WarnResult = true;
    std::vector<LoggedError> Errors;
};

inline TServerInfo SimServer(const tallyvane::testsupport::TdsSimProcess& sim, int instance = 0,
                             const std::string& user = "sa",
                             const std::string& password = "Sim-Admin-1") {
    TServerInfo info;
    info.Name = "SRV" + std::to_string(instance + 1);
    info.Enabled = true;
    info.ConnectionString = sim.oledbConnectionString(instance, user, password);
    info.Timeout = 5;
    return info;
}

// Refresh and wait until the cycle is over (Busy false again).
inline bool RefreshAndWait(TServerData& server) {
    server.Refresh();
    return tallyvane::testsupport::SpinUntil([&] { return !server.Busy; });
}

// Settings and UI hooks as a fresh program has them, put back after each test.
class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSettings();
        LoginDialog = [](const std::string&, std::string&, std::string&) { return false; };
        ShowErrorMessage = [this](const std::exception& e) { Shown.push_back(e.what()); };
    }
    void TearDown() override { ResetSettings(); }

    RecordingOwner Owner;
    std::vector<std::string> Shown; // what the default error display was given
};

} // namespace monitortest
