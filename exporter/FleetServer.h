// One watched server of the fleet: its monitor and what the exporter knows of its polls.
#pragma once

#include "EpisodeDetector.h"
#include "ServerData.h"
#include "ServerFigures.h"
#include "ServerInfo.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

// Why a server is down; the label values are a fixed list, so a scrape's size stays bounded.
enum class TDownReason : std::uint8_t {
    None,
    LoginRequired,     // no credentials in the connection string: the exporter never asks
    LoginFailed,       // the server refused the login
    ConnectFailed,     // the connect or the sysadmin question after it failed
    QueryFailed,       // the process query failed or its rows could not be read
    NoViewServerState, // the login sees only its own session: no figure would be true
};
const char* DownReasonLabel(TDownReason reason);

// What the metrics publish of one server: a plain copy, handed to the endpoint's thread.
struct TServerReport {
    std::string Label;            // the "server" label: the section name, unique within the fleet
    bool Polled = false;          // some poll has completed
    bool Up = false;              // the last completed poll read a snapshot
    double LastPollSeconds = 0;   // duration of the last completed poll
    double LastPollTimestamp = 0; // Unix time of the last completed poll
    std::uint64_t PollErrors = 0; // failed polls since start
    std::uint64_t BlockingEpisodes = 0; // episodes begun since start (Episodes' count)
    std::uint64_t Deadlocks = 0;        // deadlock reports read since start
    std::uint64_t LockWaits = 0;        // the server's lock waits counted since start
    std::uint64_t LockWaitMs = 0;       // and their wait time
    TServerFigures Figures;             // of the last snapshot, while Up
    TDownReason Reason = TDownReason::None;
    // The kind of server (EditionLabel) and its ProductVersion as last learned; empty until a
    // poll has read a snapshot.
    std::string Edition;
    std::string Version;
};

struct TFleetServer : TServerReport {
    TServerInfo Info;
    std::unique_ptr<TServerData> Monitor;       // none when the server cannot be watched at all
    std::unique_ptr<TEpisodeDetector> Episodes; // the desktop's episode rule, per server

    bool Polling = false; // a poll was started and has not completed
    std::chrono::steady_clock::time_point PollStart{};
    std::string Message;      // the error of the failed poll, or why it is not watched
    TDownReason PollReason{}; // the error of the poll in progress, if any
    std::string PollMessage;
};
