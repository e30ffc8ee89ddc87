// Turns the successive snapshots of one server into blocking episodes. Pure code: it reads the
// rows of a TProcessList, keeps the open episodes of that server and reports what changed; it
// stores nothing and asks no server. The clock is injected so that tests set the time.
//
// The rule. Head blockers and their chains are those of the snapshot's analysis
// (TBlockingAnalysis). An episode starts when some session in a head blocker's chain has waited
// at least the threshold; it goes on while that session (SPID, login, host and program) still
// blocks someone, and it ends at the first snapshot where it does not. When the server stops
// answering, every open episode ends as Unknown.
#pragma once

#include "Episode.h"
#include "EpisodeFrame.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TBlockingAnalysis;
class TProcessList;

enum class TEpisodeEventKind : std::uint8_t { Started, Updated, Ended };

struct TEpisodeEvent {
    TEpisodeEventKind Kind = TEpisodeEventKind::Started;
    TEpisode Episode; // the episode as it stands after this snapshot
    // The snapshot's frame of a Started or Updated episode, when the detector makes frames.
    std::optional<TEpisodeFrame> Frame;
};

class TEpisodeDetector {
public:
    // Milliseconds since 1970, UTC.
    using TClock = std::function<std::int64_t()>;
    static std::int64_t SystemClock();

    explicit TEpisodeDetector(std::string server, TClock clock = SystemClock);
    ~TEpisodeDetector();
    TEpisodeDetector(const TEpisodeDetector&) = delete;
    TEpisodeDetector& operator=(const TEpisodeDetector&) = delete;

    // One successful snapshot of the server, at the clock's time now. thresholdMs is the
    // warning threshold (a wait below 0 never reaches it). Events come in this order: the open
    // episodes that go on (Updated) or end (Ended), oldest first, then the new ones (Started)
    // by SPID. Every open episode gets exactly one event per call.
    std::vector<TEpisodeEvent> Observe(const TBlockingAnalysis& snapshot, std::int32_t thresholdMs);
    // The same for a list that no monitor keeps an analysis of.
    std::vector<TEpisodeEvent> Observe(const TProcessList& snapshot, std::int32_t thresholdMs);
    // The server stopped answering (an error, a lost connection, monitoring switched off):
    // every open episode ends as Unknown, with the end it had at the last snapshot.
    std::vector<TEpisodeEvent> ServerLost();

    const std::string& Server() const { return ServerName; }
    // Whether Started and Updated events carry the snapshot's frame (the history records them;
    // the exporter only counts).
    bool MakesFrames = false;
    std::vector<TEpisode> OpenEpisodes() const;
    // Episodes started since construction.
    std::uint64_t StartedCount() const { return NextId - 1; }

private:
    struct TOpen;
    struct TSnapshot;

    void Update(TOpen& open, const TSnapshot& snapshot, std::int32_t head, std::int64_t now);
    std::optional<TEpisodeFrame> FrameOf(const TOpen& open) const;

    std::string ServerName;
    TClock Clock;
    std::uint64_t NextId = 1;
    std::vector<std::unique_ptr<TOpen>> Open;       // oldest first
    std::unique_ptr<TBlockingAnalysis> OwnAnalysis; // for Observe of a bare list
};
