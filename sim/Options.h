// The command line of tdssim.
#pragma once

#include "Prelogin.h"

#include <chrono>
#include <optional>
#include <string>

namespace tdssim {

struct Options {
    int port = 1433;
    std::string scenario = "demo";
    int instances = 1;
    std::optional<int> controlPort;
    std::string logPath;
    std::string printScenario; // --print-scenario NAME
    EncryptionMode encryption = EncryptionMode::Off;
    std::string certFile;
    std::string keyFile;
    std::chrono::milliseconds loginTimeout{60000};
    // --engine-edition N and --rds: which kind of server it answers as (Editions.h).
    std::optional<int> engineEdition;
    bool rds = false;
    bool help = false;
    bool version = false;
};

// Throws std::invalid_argument with a message for the user.
Options parseOptions(int argc, char** argv);
const char* usageText();

} // namespace tdssim
