#include "EpisodeDetector.h"

#include "BlockingAnalysis.h"
#include "ProcessList.h"

#include <algorithm>
#include <chrono>
#include <unordered_map>
#include <unordered_set>

namespace {

std::string KeyText(const TSessionKey& key) {
    std::string text = std::to_string(key.Spid);
    for (const std::string* part : {&key.LoginName, &key.HostName, &key.ProgramName}) {
        text += '\x1f';
        text += *part;
    }
    return text;
}

TSessionKey KeyOf(const TProcessItem& row) {
    return {row.Spid, row.LoginName, row.HostName, row.ProgramName};
}

bool SameSession(const TSessionKey& key, const TProcessItem& row) {
    return key.Spid == row.Spid && key.LoginName == row.LoginName && key.HostName == row.HostName &&
           key.ProgramName == row.ProgramName;
}

} // namespace

// The snapshot as the analysis sees it, with a buffer for the sessions behind a head.
struct TEpisodeDetector::TSnapshot {
    const TBlockingAnalysis& Analysis;
    mutable std::vector<std::int32_t> Buffer;

    // The sessions blocked behind this one, directly or through other blocked sessions.
    const std::vector<std::int32_t>& Tree(std::int32_t session) const {
        Analysis.Behind(session, Buffer);
        return Buffer;
    }
};

// An open episode with what the detector tracks beyond the record.
struct TEpisodeDetector::TOpen {
    TEpisode Episode;
    std::unordered_map<std::string, std::size_t> SessionIndex; // KeyText -> Sessions index
    std::vector<std::int32_t> CurrentWait; // per session; 0 when not blocked now
    TEpisodeFrame Frame;                   // of the last Update, when making frames
};

std::int64_t TEpisodeDetector::SystemClock() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

TEpisodeDetector::TEpisodeDetector(std::string server, TClock clock)
    : ServerName(std::move(server)), Clock(std::move(clock)) {}

TEpisodeDetector::~TEpisodeDetector() = default;

std::vector<TEpisode> TEpisodeDetector::OpenEpisodes() const {
    std::vector<TEpisode> episodes;
    for (const auto& open : Open)
        episodes.push_back(open->Episode);
    return episodes;
}

void TEpisodeDetector::Update(TOpen& open, const TSnapshot& snapshot, std::int32_t headSession,
                              std::int64_t now) {
    TEpisode& episode = open.Episode;
    const TProcessItem& head = *snapshot.Analysis.Session(headSession).FirstRow;
    episode.Head = KeyOf(head);
    episode.HeadDBName = head.DBName;
    episode.HeadStatus = head.Status;
    episode.HeadOpenTran = head.OpenTran;
    episode.End = now;

    std::vector<bool> seen(episode.Sessions.size(), false);
    std::int32_t blockedNow = 0;
    TEpisodeFrame& frame = open.Frame;
    frame.Sessions.clear();
    if (MakesFrames) {
        frame.At = now;
        frame.HeadStatus = head.Status;
        frame.HeadOpenTran = head.OpenTran;
    }
    for (const std::int32_t member : snapshot.Tree(headSession)) {
        const TBlockingSession& blocked = snapshot.Analysis.Session(member);
        const TProcessItem& row = *blocked.BlockedRow;
        const std::int32_t wait = blocked.Wait();
        const auto [at, added] =
            open.SessionIndex.try_emplace(KeyText(KeyOf(row)), episode.Sessions.size());
        if (added) {
            episode.Sessions.push_back({KeyOf(row), {}, {}, {}, 0, 0, 0});
            open.CurrentWait.push_back(0);
            seen.push_back(false);
        }
        const std::size_t s = at->second;
        if (seen[s])
            continue;
        seen[s] = true;
        ++blockedNow;
        TEpisodeSession& session = episode.Sessions[s];
        session.DBName = row.DBName;
        session.LastWaitType = row.LastWaitType;
        session.WaitResource = row.WaitResource;
        session.BlockedBy = row.Blocked;
        session.LongestWait = std::max(session.LongestWait, wait);
        // A wait shorter than the one seen before is a new wait: the old one is over.
        const std::int32_t previous = open.CurrentWait[s];
        const std::int64_t finished = session.TotalWait - previous;
        session.TotalWait = (wait < previous ? finished + previous : finished) + wait;
        open.CurrentWait[s] = wait;
        episode.PeakWait = std::max(episode.PeakWait, wait);
        episode.Start = std::min(episode.Start, now - wait);
        if (MakesFrames)
            frame.Sessions.push_back({static_cast<std::int32_t>(s), row.Spid, row.Blocked, wait,
                                      row.LastWaitType, row.WaitResource});
    }
    episode.TotalBlockedWait = 0;
    for (std::size_t s = 0; s < episode.Sessions.size(); ++s) {
        if (!seen[s])
            open.CurrentWait[s] = 0; // its wait is over and already counted
        episode.TotalBlockedWait += episode.Sessions[s].TotalWait;
    }
    episode.PeakBlocked = std::max(episode.PeakBlocked, blockedNow);
}

std::optional<TEpisodeFrame> TEpisodeDetector::FrameOf(const TOpen& open) const {
    if (!MakesFrames)
        return std::nullopt;
    return open.Frame;
}

std::vector<TEpisodeEvent> TEpisodeDetector::Observe(const TProcessList& list,
                                                     std::int32_t thresholdMs) {
    if (!OwnAnalysis)
        OwnAnalysis = std::make_unique<TBlockingAnalysis>();
    OwnAnalysis->Analyze(list);
    return Observe(*OwnAnalysis, thresholdMs);
}

std::vector<TEpisodeEvent> TEpisodeDetector::Observe(const TBlockingAnalysis& analysis,
                                                     std::int32_t thresholdMs) {
    const std::int64_t now = Clock();
    const TSnapshot snapshot{analysis, {}};
    std::vector<TEpisodeEvent> events;

    std::vector<std::unique_ptr<TOpen>> stillOpen;
    std::unordered_set<std::int32_t> continued;
    for (auto& open : Open) {
        const TSessionKey& head = open->Episode.Head;
        const std::int32_t session = analysis.Find(head.Spid);
        const bool blocking = session >= 0 &&
                              SameSession(head, *analysis.Session(session).FirstRow) &&
                              analysis.Session(session).Blocks > 0;
        if (blocking) {
            Update(*open, snapshot, session, now);
            continued.insert(head.Spid);
            events.push_back({TEpisodeEventKind::Updated, open->Episode, FrameOf(*open)});
            stillOpen.push_back(std::move(open));
        } else {
            open->Episode.EndKind = TEpisodeEnd::Ended;
            events.push_back({TEpisodeEventKind::Ended, std::move(open->Episode), std::nullopt});
        }
    }
    Open = std::move(stillOpen);

    std::vector<const TBlockingChain*> heads;
    for (const TBlockingChain& chain : analysis.Heads())
        if (!continued.contains(analysis.Session(chain.Session).Spid))
            heads.push_back(&chain);
    std::sort(heads.begin(), heads.end(), [&](const TBlockingChain* a, const TBlockingChain* b) {
        return analysis.Session(a->Session).Spid < analysis.Session(b->Session).Spid;
    });
    for (const TBlockingChain* chain : heads) {
        // The threshold takes the wait as the server gave it: one below 0 never reaches it.
        bool reached = false;
        for (std::int32_t m = chain->Begin; m < chain->End && !reached; ++m)
            reached = analysis.Session(analysis.Members()[static_cast<std::size_t>(m)]).RawWait() >=
                      thresholdMs;
        if (!reached)
            continue;
        auto open = std::make_unique<TOpen>();
        open->Episode.Id = NextId++;
        open->Episode.Server = ServerName;
        open->Episode.Start = now - chain->LongestWait;
        Update(*open, snapshot, chain->Session, now);
        events.push_back({TEpisodeEventKind::Started, open->Episode, FrameOf(*open)});
        Open.push_back(std::move(open));
    }
    return events;
}

std::vector<TEpisodeEvent> TEpisodeDetector::ServerLost() {
    std::vector<TEpisodeEvent> events;
    for (auto& open : Open) {
        open->Episode.EndKind = TEpisodeEnd::Unknown;
        events.push_back({TEpisodeEventKind::Ended, std::move(open->Episode), std::nullopt});
    }
    Open.clear();
    return events;
}
