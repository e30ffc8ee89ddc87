// The process's budget of open descriptors, and how many servers it can watch within it. Every
// watched server holds two descriptors for as long as it is watched (its socket and the event
// descriptor its driver wakes it with); the rest of the process needs a share of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A watched server's socket and its event descriptor.
constexpr std::size_t DescriptorsPerServer = 2;
// The process apart from its servers: standard streams, Qt's wake-ups, the history and settings
// files, and what the connection threads open for a moment while a connection starts (the
// driver's configuration, name lookups).
constexpr std::size_t DescriptorsOfTheProcess = 192;

struct TDescriptorBudget {
    std::uint64_t Limit = 0;      // the soft limit of open files; 0: none known (not Linux)
    std::uint64_t LimitFound = 0; // the soft limit at start, before raising it
    std::string RaiseError;       // why it could not be raised, when it could not

    bool Known() const { return Limit != 0; }
    // Servers that fit beside the process's own descriptors and `others` more (an HTTP
    // endpoint's connections); unbounded when no limit is known.
    std::size_t ServersAllowed(std::size_t others = 0) const;
    // "a limit of 65536 open files (raised from 1024) allows 32,672 servers".
    std::string Describe(std::size_t others = 0) const;
};

// Raises the soft limit of open files to the hard limit (a systemd service or a desktop session
// starts with 1,024 and a much higher hard limit) and returns the budget it gives. Every part of
// the program waits on its descriptors with poll(), never select(), so none is bound to 1,024.
TDescriptorBudget RaiseDescriptorLimit();

// The same budget, without changing the limit.
TDescriptorBudget CurrentDescriptorBudget();
