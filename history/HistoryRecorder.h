// Feeds the blocking history from the monitors, on the GUI thread: one episode detector per
// server, the head blocker's statement read once per episode (logins with VIEW SERVER STATE), one
// batch of writes per refresh for the writer thread, and the deadlock reports as they are read.
#pragma once

#include "EpisodeDetector.h"
#include "HistoryWriter.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TServerData;

struct THistorySettings {
    bool Record = true;
    std::int32_t ThresholdMs = 3000;   // an episode starts when a wait reaches it
    std::int64_t MinDurationMs = 3000; // shorter episodes are not written
};

class THistoryRecorder {
public:
    // writer may be null (nothing is written; the detectors still run for the caller's use).
    explicit THistoryRecorder(TEpisodeDetector::TClock clock = TEpisodeDetector::SystemClock);
    ~THistoryRecorder();
    THistoryRecorder(const THistoryRecorder&) = delete;
    THistoryRecorder& operator=(const THistoryRecorder&) = delete;

    // Where the writes go; null stops writing. Episodes under way are ended as Unknown in the
    // old writer first.
    void SetWriter(THistoryWriter* writer);

    // After every call back of a monitor: a snapshot it has not seen is looked at; a monitor
    // in error or switched off ends its episodes as Unknown.
    void ServerChanged(TServerData& server, const THistorySettings& settings);
    // The monitor goes away: its episodes end as Unknown.
    void ServerRemoved(TServerData& server);
    // Ends every episode under way as Unknown (recording switched off, the program stops).
    void StopAll();
    // Deadlock reports a monitor read: they go to the writer as they are (none without one).
    void DeadlocksRead(const std::string& server, std::vector<TDeadlockReport> reports);

    std::size_t OpenEpisodes() const;

private:
    struct TTracked {
        std::uint64_t Key = 0;
        bool Written = false;
        std::optional<std::string> Statement; // read, not yet written
    };
    struct TServer {
        std::unique_ptr<TEpisodeDetector> Detector;
        std::uint64_t Snapshots = 0;
        std::map<std::uint64_t, TTracked> Tracked; // by the detector's episode number
    };

    void Handle(TServerData* server, TServer& state, std::vector<TEpisodeEvent> events,
                std::int64_t minDurationMs);
    void StatementRead(std::uint64_t key, const std::string& text);

    TEpisodeDetector::TClock Clock;
    THistoryWriter* Writer = nullptr;
    std::int64_t MinDurationMs = 0; // as last given
    std::map<const TServerData*, TServer> Servers;
    std::uint64_t NextKey = 1;
    std::shared_ptr<THistoryRecorder*> Self; // answers that come after destruction find null
};
