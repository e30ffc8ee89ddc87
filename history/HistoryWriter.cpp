#include "HistoryWriter.h"

#include "HistoryStore.h"

#include <chrono>
#include <ctime>
#include <memory>

namespace {

constexpr std::int64_t RetryAfterMs = 5000;

std::int64_t ThreadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

void Merge(THistoryWrite& into, THistoryWrite&& news) {
    into.Key = news.Key;
    if (news.Episode)
        into.Episode = std::move(news.Episode);
    if (news.Statement && !into.Statement) // the first one read is the one kept
        into.Statement = std::move(news.Statement);
    for (TEpisodeFrame& frame : news.Frames)
        into.Frames.push_back(std::move(frame));
    if (into.Frames.size() > THistoryWriter::MaxPendingFrames)
        into.Frames.erase(into.Frames.begin(),
                          into.Frames.end() -
                              static_cast<std::ptrdiff_t>(THistoryWriter::MaxPendingFrames));
}

} // namespace

THistoryWriter::THistoryWriter(std::string fileName, int retentionDays, TClock clock)
    : Path(std::move(fileName)), Clock(std::move(clock)), RetentionDays(retentionDays) {}

void THistoryWriter::Start() {
    if (!Thread.joinable())
        Thread = std::thread([this] { Run(); });
}

THistoryWriter::~THistoryWriter() {
    {
        std::lock_guard<std::mutex> guard(Lock);
        Stopping = true;
    }
    Wake.notify_all();
    if (Thread.joinable())
        Thread.join();
}

void THistoryWriter::Submit(std::vector<THistoryWrite> writes) {
    if (writes.empty())
        return;
    {
        std::lock_guard<std::mutex> guard(Lock);
        Queue.push_back(std::move(writes));
        ++Submitted;
    }
    Wake.notify_one();
}

void THistoryWriter::SubmitKill(TKillRecord kill) {
    {
        std::lock_guard<std::mutex> guard(Lock);
        KillQueue.push_back(std::move(kill));
        ++Submitted;
    }
    Wake.notify_one();
}

void THistoryWriter::SubmitDeadlocks(std::vector<TDeadlockWrite> deadlocks) {
    if (deadlocks.empty())
        return;
    {
        std::lock_guard<std::mutex> guard(Lock);
        for (TDeadlockWrite& d : deadlocks)
            DeadlockQueue.push_back(std::move(d));
        ++Submitted;
    }
    Wake.notify_one();
}

void THistoryWriter::SubmitLockWaits(TLockWaitWrite counts) {
    {
        std::lock_guard<std::mutex> guard(Lock);
        LockWaitQueue.push_back(std::move(counts));
        ++Submitted;
    }
    Wake.notify_one();
}

void THistoryWriter::SetRetentionDays(int days) {
    RetentionDays = days;
    std::lock_guard<std::mutex> guard(Lock);
    NextRetention = 0; // applies a shorter period now rather than tomorrow
    Wake.notify_one();
}

bool THistoryWriter::Flush(int timeoutMs) {
    if (!Thread.joinable())
        return false;
    std::unique_lock<std::mutex> guard(Lock);
    const std::uint64_t target = Submitted;
    return Idle.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                         [&] { return Done >= target; });
}

void THistoryWriter::Report(const std::string& message) {
    if (Reported)
        return;
    Reported = true;
    emit Failed(QString::fromStdString(message));
}

void THistoryWriter::Run() {
    std::unique_ptr<THistoryStore> store;
    for (;;) {
        std::vector<std::vector<THistoryWrite>> taken;
        std::vector<TKillRecord> kills;
        std::vector<TDeadlockWrite> deadlocks;
        std::vector<TLockWaitWrite> lockWaits;
        std::uint64_t upTo = 0;
        bool stop = false;
        bool retentionDue = false;
        {
            std::unique_lock<std::mutex> guard(Lock);
            // Waking every few seconds lets a failed write be tried again and retention run.
            Wake.wait_for(guard, std::chrono::seconds(5), [&] {
                return Stopping || !Queue.empty() || !KillQueue.empty() || !DeadlockQueue.empty() ||
                       !LockWaitQueue.empty() || NextRetention == 0;
            });
            taken.swap(Queue);
            kills.swap(KillQueue);
            deadlocks.swap(DeadlockQueue);
            lockWaits.swap(LockWaitQueue);
            upTo = Submitted;
            stop = Stopping;
            retentionDue = Clock() >= NextRetention;
        }
        for (auto& batch : taken)
            for (THistoryWrite& write : batch)
                Merge(Pending[write.Key], std::move(write));
        while (Pending.size() > MaxPending)
            Pending.erase(Pending.begin());
        for (TKillRecord& kill : kills)
            PendingKills.push_back(std::move(kill));
        while (PendingKills.size() > MaxPending)
            PendingKills.pop_front();
        for (TDeadlockWrite& d : deadlocks)
            PendingDeadlocks.push_back(std::move(d));
        while (PendingDeadlocks.size() > MaxPendingDeadlocks)
            PendingDeadlocks.pop_front();
        for (TLockWaitWrite& w : lockWaits)
            PendingLockWaits.push_back(std::move(w));
        while (PendingLockWaits.size() > MaxPending)
            PendingLockWaits.pop_front();

        const std::int64_t now = Clock();
        const bool unwritten = !Pending.empty() || !PendingKills.empty() ||
                               !PendingDeadlocks.empty() || !PendingLockWaits.empty();
        const bool work = unwritten || retentionDue;
        if (work && (now >= NextAttempt || stop)) {
            try {
                if (!store)
                    store = std::make_unique<THistoryStore>(Path, THistoryStore::TMode::Write);
                if (unwritten)
                    WritePending(*store, upTo);
                if (retentionDue) {
                    {
                        std::lock_guard<std::mutex> guard(Lock);
                        NextRetention = now + Day;
                    }
                    const std::int64_t cutoff = now / Day * Day - RetentionDays.load() * Day;
                    const int episodes = store->DeleteEndedBefore(cutoff);
                    if (episodes + store->DeleteDeadlocksBefore(cutoff) > 0)
                        store->Shrink();
                    store->RollUpCauses(now);
                }
                Reported = false;
                NextAttempt = 0;
            } catch (const THistoryError& e) {
                Report(std::string("Blocking history is not being recorded. ") + e.what());
                NextAttempt = now + RetryAfterMs;
                if (retentionDue) {
                    std::lock_guard<std::mutex> guard(Lock);
                    NextRetention = now + RetryAfterMs;
                }
            }
        }
        CpuNs = ThreadCpuNs();
        {
            std::lock_guard<std::mutex> guard(Lock);
            Done = upTo;
        }
        Idle.notify_all();
        if (stop)
            break;
    }
}

void THistoryWriter::WritePending(THistoryStore& store, std::uint64_t upTo) {
    std::vector<std::pair<std::uint64_t, TWritten>> written;
    store.Transaction([&] {
        for (auto& [key, write] : Pending) {
            const auto open = Open.find(key);
            std::int64_t rowId = open != Open.end() ? open->second.RowId : 0;
            std::int64_t nextFrame = open != Open.end() ? open->second.NextFrame : 0;
            if (write.Episode)
                rowId = store.SaveEpisode(rowId, *write.Episode,
                                          open != Open.end() ? &open->second.Episode : nullptr);
            // Frames of an episode that was never written (or already ended) have nowhere to go.
            if (rowId != 0)
                for (const TEpisodeFrame& frame : write.Frames)
                    store.SaveFrame(rowId, nextFrame++, frame);
            if (write.Episode)
                written.push_back({key, {rowId, *write.Episode, nextFrame}});
            else if (open != Open.end())
                written.push_back({key, {rowId, open->second.Episode, nextFrame}});
            // A statement for an episode that was never written (or already ended) has
            // nowhere to go.
            if (write.Statement && rowId != 0)
                store.SaveStatement(rowId, *write.Statement);
        }
        for (const TKillRecord& kill : PendingKills)
            store.SaveKill(kill);
        for (const TDeadlockWrite& d : PendingDeadlocks)
            store.SaveDeadlock(d.Server, d.Report);
        for (const TLockWaitWrite& w : PendingLockWaits)
            store.SaveLockWaits({w.Server, w.At, w.Since, w.Waits, w.WaitMs});
    });
    // Only what is committed counts as written.
    Pending.clear();
    PendingKills.clear();
    PendingDeadlocks.clear();
    PendingLockWaits.clear();
    for (auto& [key, w] : written) {
        if (w.Episode.EndKind == TEpisodeEnd::Open)
            Open[key] = std::move(w);
        else
            Open.erase(key);
    }
    ++Commits;
    emit Committed(upTo);
}
