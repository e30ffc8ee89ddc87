// The one writer of the history file: a thread of its own that takes what the monitors saw at
// each refresh, and the kills the user confirmed, and writes them in one transaction, so the
// window never waits for the disk.
//
// A write that fails (a full disk, a folder the user may not write, a file of a newer version)
// is reported once through Failed and kept: the next batch tries again with everything that is
// still unwritten (at most MaxPending episodes and as many kills are kept; the oldest go
// first), and monitoring goes on regardless. Deadlock reports go the same way (at most
// MaxPendingDeadlocks wait). Once a day the writer deletes the episodes that ended, the kills
// made and the deadlocks that happened before the first day of the retention period (whole
// days, UTC; never the current day).
#pragma once

#include "DeadlockReport.h"
#include "Episode.h"
#include "EpisodeFrame.h"
#include "KillRecord.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class THistoryStore;

// One episode's news: its state after a refresh, and/or its head blocker's statement, and the
// frames of the refreshes since the last news. Key is the recorder's number for the episode,
// unique in one run.
struct THistoryWrite {
    std::uint64_t Key = 0;
    std::optional<TEpisode> Episode;
    std::optional<std::string> Statement;
    std::vector<TEpisodeFrame> Frames; // oldest first
};

// The server's lock waits counted between two reads.
struct TLockWaitWrite {
    std::string Server;
    std::int64_t At = 0, Since = 0; // milliseconds since 1970, UTC
    std::int64_t Waits = 0, WaitMs = 0;
};

// A deadlock report as a monitor read it.
struct TDeadlockWrite {
    std::string Server;
    TDeadlockReport Report;
};

class THistoryWriter : public QObject {
    Q_OBJECT

public:
    using TClock = std::function<std::int64_t()>; // milliseconds since 1970, UTC
    static constexpr std::size_t MaxPending = 50000;
    static constexpr std::size_t MaxPendingDeadlocks = 5000;
    // Frames kept per episode while writing fails; the oldest go first.
    static constexpr std::size_t MaxPendingFrames = 2000;
    static constexpr std::int64_t Day = 24 * 3600 * 1000;

    THistoryWriter(std::string fileName, int retentionDays, TClock clock);
    // Writes what was submitted, then stops the thread.
    ~THistoryWriter() override;

    // Starts the thread; connect to the signals first, so that no report is missed.
    void Start();

    // Hands one refresh's writes to the thread; never waits for the disk.
    void Submit(std::vector<THistoryWrite> writes);
    // Hands one kill to the thread, to be written with the next batch; never waits either.
    void SubmitKill(TKillRecord kill);
    // Hands deadlock reports to the thread; one already stored is not stored again.
    void SubmitDeadlocks(std::vector<TDeadlockWrite> deadlocks);
    // Hands lock-wait counts to the thread, to be written with the next batch.
    void SubmitLockWaits(TLockWaitWrite counts);
    void SetRetentionDays(int days);
    // Waits until everything submitted so far was written or failed (at most timeoutMs).
    bool Flush(int timeoutMs = 30000);

    const std::string& FileName() const { return Path; }
    // Processor time the thread has used, in nanoseconds.
    std::int64_t CpuNanoseconds() const { return CpuNs.load(); }
    std::uint64_t CommittedBatches() const { return Commits.load(); }

signals:
    // Raised on the writer thread; receivers on the GUI thread get it queued.
    void Failed(QString message);
    // Everything submitted up to and including batch number batch is in the file.
    void Committed(quint64 batch);

private:
    struct TWritten {
        std::int64_t RowId = 0;
        TEpisode Episode;
        std::int64_t NextFrame = 0; // seq of its next frame
    };

    void Run();
    void WritePending(THistoryStore& store, std::uint64_t upTo);
    void Report(const std::string& message);

    const std::string Path;
    const TClock Clock;

    std::mutex Lock;
    std::condition_variable Wake;
    std::condition_variable Idle;
    std::vector<std::vector<THistoryWrite>> Queue; // guarded by Lock
    std::vector<TKillRecord> KillQueue;            // guarded by Lock
    std::vector<TDeadlockWrite> DeadlockQueue;     // guarded by Lock
    std::vector<TLockWaitWrite> LockWaitQueue;     // guarded by Lock
    std::uint64_t Submitted = 0;                   // batches, guarded by Lock
    std::uint64_t Done = 0;                        // batches written or given up, guarded
    bool Stopping = false;                         // guarded by Lock
    std::int64_t NextRetention = 0;                // guarded by Lock; 0: now
    std::atomic<int> RetentionDays;

    // Thread's own.
    std::map<std::uint64_t, THistoryWrite> Pending; // merged, not yet in the file
    std::deque<TKillRecord> PendingKills;           // not yet in the file, oldest first
    std::map<std::uint64_t, TWritten> Open;         // written episodes that are still open
    std::deque<TDeadlockWrite> PendingDeadlocks;    // not yet in the file
    std::deque<TLockWaitWrite> PendingLockWaits;    // not yet in the file
    bool Reported = false;                          // the current failure was reported
    std::int64_t NextAttempt = 0;
    std::atomic<std::int64_t> CpuNs{0};
    std::atomic<std::uint64_t> Commits{0};

    std::thread Thread;
};
