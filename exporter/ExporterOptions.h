// The command line of tallyvane-exporter.
#pragma once

#include "Shard.h"

#include <cstdint>
#include <string>
#include <vector>

struct TExporterOptions {
    bool Help = false;
    bool Version = false;
    bool Once = false;
    std::string ListenHost = "127.0.0.1"; // nothing listens beyond the loopback unless asked
    std::uint16_t ListenPort = 9187;
    std::string ServersFile;  // empty: the desktop program's servers.ini
    std::string SettingsFile; // empty: the desktop program's settings file
    TShard Shard;
    std::string AuthUser;
    std::string AuthPasswordFile;
    std::string TlsCertFile;
    std::string TlsKeyFile;
    unsigned HandshakeTimeoutMs = 10000;   // for a client's TLS handshake
    unsigned DeadlockIntervalSeconds = 60; // between reads of a server's deadlocks; 0: none
};

struct TOptionsParse {
    TExporterOptions Options;
    std::string Error; // empty when the command line is good
};

// The arguments after the program's name.
TOptionsParse ParseExporterOptions(const std::vector<std::string>& args);

// "HOST:PORT", "[IPv6]:PORT"; false when it is neither or the port is above 65535 (0 asks for
// a free port).
bool ParseListenAddress(const std::string& text, std::string& host, std::uint16_t& port);

extern const char* const ExporterUsage;
