#include "HistoryRecorder.h"

#include "ServerData.h"

THistoryRecorder::THistoryRecorder(TEpisodeDetector::TClock clock)
    : Clock(std::move(clock)), Self(std::make_shared<THistoryRecorder*>(this)) {}

THistoryRecorder::~THistoryRecorder() {
    *Self = nullptr;
}

void THistoryRecorder::SetWriter(THistoryWriter* writer) {
    if (writer == Writer)
        return;
    StopAll();
    Writer = writer;
}

std::size_t THistoryRecorder::OpenEpisodes() const {
    std::size_t open = 0;
    for (const auto& [server, state] : Servers)
        open += state.Tracked.size();
    return open;
}

void THistoryRecorder::ServerChanged(TServerData& server, const THistorySettings& settings) {
    MinDurationMs = settings.MinDurationMs;
    if (!settings.Record) {
        StopAll();
        return;
    }
    const auto [entry, added] = Servers.try_emplace(&server);
    TServer& state = entry->second;
    if (added) // reads from before are not news
        state.LockWaitReads = server.LockWaits.Reads;
    if (!state.Detector || state.Detector->Server() != server.Info.Name) {
        // A renamed server is another server to the history.
        if (state.Detector)
            Handle(&server, state, state.Detector->ServerLost(), MinDurationMs);
        state.Detector = std::make_unique<TEpisodeDetector>(server.Info.Name, Clock);
        state.Detector->MakesFrames = true;
        state.Snapshots = 0;
    }
    TakeLockWaits(server, state);
    if (!server.Enabled || server.State == 2) {
        Handle(&server, state, state.Detector->ServerLost(), MinDurationMs);
        return;
    }
    // A monitor calls back several times per refresh; each snapshot is looked at once.
    if (server.Snapshots == state.Snapshots)
        return;
    state.Snapshots = server.Snapshots;
    Handle(&server, state, state.Detector->Observe(server.Analysis(), settings.ThresholdMs),
           MinDurationMs);
}

void THistoryRecorder::ServerRemoved(TServerData& server) {
    const auto found = Servers.find(&server);
    if (found == Servers.end())
        return;
    if (found->second.Detector)
        Handle(nullptr, found->second, found->second.Detector->ServerLost(), MinDurationMs);
    Servers.erase(found);
}

void THistoryRecorder::StopAll() {
    for (auto& [server, state] : Servers)
        if (state.Detector)
            Handle(nullptr, state, state.Detector->ServerLost(), MinDurationMs);
    Servers.clear();
}

void THistoryRecorder::Handle(TServerData* server, TServer& state,
                              std::vector<TEpisodeEvent> events, std::int64_t minDurationMs) {
    std::vector<THistoryWrite> writes;
    for (TEpisodeEvent& event : events) {
        TEpisode& episode = event.Episode;
        if (event.Kind == TEpisodeEventKind::Started) {
            const std::uint64_t key = NextKey++;
            state.Tracked[episode.Id] = TTracked{key, false, std::nullopt, {}};
            // Read once, at the start: later the head may have sent other commands.
            if (server != nullptr && (server->IsSysAdmin || server->CanViewServerState)) {
                try {
                    server->RequestInputBuffer(episode.Head.Spid,
                                               [self = Self, key](const std::string* text) {
                                                   if (*self != nullptr && text != nullptr)
                                                       (*self)->StatementRead(key, *text);
                                               });
                } catch (const std::exception&) {
                    // The statement stays unknown; the episode is recorded all the same.
                }
            }
        }
        const auto tracked = state.Tracked.find(episode.Id);
        if (tracked == state.Tracked.end())
            continue;
        TTracked& t = tracked->second;
        if (event.Frame)
            t.Frames.push_back(std::move(*event.Frame));
        if (t.Written || episode.Duration() >= minDurationMs) {
            THistoryWrite write;
            write.Key = t.Key;
            write.Statement = std::move(t.Statement);
            t.Statement.reset();
            write.Frames = std::move(t.Frames);
            t.Frames.clear();
            write.Episode = std::move(episode);
            writes.push_back(std::move(write));
            t.Written = true;
        } else if (t.Frames.size() > THistoryWriter::MaxPendingFrames)
            t.Frames.erase(t.Frames.begin());
        if (event.Kind == TEpisodeEventKind::Ended)
            state.Tracked.erase(tracked);
    }
    if (Writer != nullptr)
        Writer->Submit(std::move(writes));
}

void THistoryRecorder::TakeLockWaits(const TServerData& server, TServer& state) {
    const TLockWaitTally& tally = server.LockWaits;
    if (tally.Reads == state.LockWaitReads)
        return;
    state.LockWaitReads = tally.Reads;
    // The first read only sets where counting starts; a read gives news when it added some.
    if (Writer != nullptr && tally.LastSince != 0)
        Writer->SubmitLockWaits(
            {server.Info.Name, tally.LastAt, tally.LastSince, tally.LastWaits, tally.LastWaitMs});
}

void THistoryRecorder::StatementRead(std::uint64_t key, const std::string& text) {
    for (auto& [server, state] : Servers) {
        for (auto& [id, t] : state.Tracked) {
            if (t.Key != key)
                continue;
            if (t.Written && Writer != nullptr)
                Writer->Submit({THistoryWrite{key, std::nullopt, text, {}}});
            else
                t.Statement = text;
            return;
        }
    }
}

void THistoryRecorder::DeadlocksRead(const std::string& server,
                                     std::vector<TDeadlockReport> reports) {
    if (Writer == nullptr || reports.empty())
        return;
    std::vector<TDeadlockWrite> writes;
    writes.reserve(reports.size());
    for (TDeadlockReport& report : reports)
        writes.push_back({server, std::move(report)});
    Writer->SubmitDeadlocks(std::move(writes));
}
