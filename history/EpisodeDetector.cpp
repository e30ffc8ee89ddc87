#include "EpisodeDetector.h"

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

// The rows of one snapshot with who blocks whom, by SPID. A SPID with several rows (the
// threads of a parallel query) is one session, described by its first row in pre-order.
struct TEpisodeDetector::TSnapshot {
    std::vector<const TProcessItem*> Rows;
    std::unordered_map<std::int32_t, std::size_t> FirstRow;
    // Rows blocked by another SPID of the snapshot, by that SPID.
    std::unordered_map<std::int32_t, std::vector<std::size_t>> BlockedRows;
    std::unordered_set<std::int32_t> BlockedSpids;

    explicit TSnapshot(const TProcessList& list) {
        std::vector<const TProcessItem*> stack;
        for (std::int32_t i = list.Count() - 1; i >= 0; --i)
            stack.push_back(list.Item(i));
        while (!stack.empty()) {
            const TProcessItem* item = stack.back();
            stack.pop_back();
            Rows.push_back(item);
            for (auto c = item->Children.rbegin(); c != item->Children.rend(); ++c)
                stack.push_back(c->get());
        }
        for (std::size_t r = 0; r < Rows.size(); ++r)
            FirstRow.try_emplace(Rows[r]->Spid, r);
        for (std::size_t r = 0; r < Rows.size(); ++r) {
            const TProcessItem& row = *Rows[r];
            if (row.Blocked > 0 && row.Blocked != row.Spid && FirstRow.contains(row.Blocked)) {
                BlockedRows[row.Blocked].push_back(r);
                BlockedSpids.insert(row.Spid);
            }
        }
    }

    // The rows blocked behind spid, directly or through other blocked sessions; each blocked
    // session once, with the longest wait among its rows.
    struct TBlocked {
        std::size_t Row;
        std::int32_t Wait;
    };
    std::vector<TBlocked> Tree(std::int32_t spid) const {
        std::vector<TBlocked> found;
        std::unordered_map<std::string, std::size_t> sessions;
        std::unordered_set<std::int32_t> visited{spid};
        std::vector<std::int32_t> todo{spid};
        while (!todo.empty()) {
            const std::int32_t blocker = todo.back();
            todo.pop_back();
            const auto blocked = BlockedRows.find(blocker);
            if (blocked == BlockedRows.end())
                continue;
            for (std::size_t r : blocked->second) {
                const TProcessItem& row = *Rows[r];
                if (row.Spid == spid) // a cycle back to the head
                    continue;
                const auto [at, added] = sessions.try_emplace(KeyText(KeyOf(row)), found.size());
                if (added)
                    found.push_back({r, row.WaitTime});
                else
                    found[at->second].Wait = std::max(found[at->second].Wait, row.WaitTime);
                if (visited.insert(row.Spid).second)
                    todo.push_back(row.Spid);
            }
        }
        return found;
    }
};

// An open episode with what the detector tracks beyond the record.
struct TEpisodeDetector::TOpen {
    TEpisode Episode;
    std::unordered_map<std::string, std::size_t> SessionIndex; // KeyText -> Sessions index
    std::vector<std::int32_t> CurrentWait; // per session; 0 when not blocked now
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

void TEpisodeDetector::Update(TOpen& open, const TSnapshot& snapshot, std::size_t headRow,
                              std::int64_t now) {
    TEpisode& episode = open.Episode;
    const TProcessItem& head = *snapshot.Rows[headRow];
    episode.Head = KeyOf(head);
    episode.HeadDBName = head.DBName;
    episode.HeadStatus = head.Status;
    episode.HeadOpenTran = head.OpenTran;
    episode.End = now;

    std::vector<bool> seen(episode.Sessions.size(), false);
    std::int32_t blockedNow = 0;
    for (const TSnapshot::TBlocked& blocked : snapshot.Tree(head.Spid)) {
        const TProcessItem& row = *snapshot.Rows[blocked.Row];
        const std::int32_t wait = std::max(blocked.Wait, 0);
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
    }
    episode.TotalBlockedWait = 0;
    for (std::size_t s = 0; s < episode.Sessions.size(); ++s) {
        if (!seen[s])
            open.CurrentWait[s] = 0; // its wait is over and already counted
        episode.TotalBlockedWait += episode.Sessions[s].TotalWait;
    }
    episode.PeakBlocked = std::max(episode.PeakBlocked, blockedNow);
}

std::vector<TEpisodeEvent> TEpisodeDetector::Observe(const TProcessList& list,
                                                     std::int32_t thresholdMs) {
    const std::int64_t now = Clock();
    const TSnapshot snapshot(list);
    std::vector<TEpisodeEvent> events;

    std::vector<std::unique_ptr<TOpen>> stillOpen;
    std::unordered_set<std::int32_t> continued;
    for (auto& open : Open) {
        const TSessionKey& head = open->Episode.Head;
        const auto first = snapshot.FirstRow.find(head.Spid);
        const bool blocking = first != snapshot.FirstRow.end() &&
                              SameSession(head, *snapshot.Rows[first->second]) &&
                              snapshot.BlockedRows.contains(head.Spid);
        if (blocking) {
            Update(*open, snapshot, first->second, now);
            continued.insert(head.Spid);
            events.push_back({TEpisodeEventKind::Updated, open->Episode});
            stillOpen.push_back(std::move(open));
        } else {
            open->Episode.EndKind = TEpisodeEnd::Ended;
            events.push_back({TEpisodeEventKind::Ended, std::move(open->Episode)});
        }
    }
    Open = std::move(stillOpen);

    std::vector<std::int32_t> heads;
    for (const auto& [spid, rows] : snapshot.BlockedRows)
        if (!snapshot.BlockedSpids.contains(spid) && !continued.contains(spid))
            heads.push_back(spid);
    std::sort(heads.begin(), heads.end());
    for (std::int32_t spid : heads) {
        const auto tree = snapshot.Tree(spid);
        std::int32_t longest = 0;
        bool reached = false;
        for (const TSnapshot::TBlocked& blocked : tree) {
            longest = std::max(longest, blocked.Wait);
            reached = reached || blocked.Wait >= thresholdMs;
        }
        if (!reached)
            continue;
        auto open = std::make_unique<TOpen>();
        open->Episode.Id = NextId++;
        open->Episode.Server = ServerName;
        open->Episode.Start = now - longest;
        Update(*open, snapshot, snapshot.FirstRow.at(spid), now);
        events.push_back({TEpisodeEventKind::Started, open->Episode});
        Open.push_back(std::move(open));
    }
    return events;
}

std::vector<TEpisodeEvent> TEpisodeDetector::ServerLost() {
    std::vector<TEpisodeEvent> events;
    for (auto& open : Open) {
        open->Episode.EndKind = TEpisodeEnd::Unknown;
        events.push_back({TEpisodeEventKind::Ended, std::move(open->Episode)});
    }
    Open.clear();
    return events;
}
