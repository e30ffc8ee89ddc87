// The blocking history in an SQLite file: the only code that speaks SQL. One object is one
// connection and belongs to the thread that created it: the writer thread keeps one for
// writing, the history window opens its own for reading (WAL lets both work at once).
//
// Layout: one row per episode in `episode`, extended in place while it lasts (its end moves,
// its peaks grow), and one row per blocked session in `blocked_session`; the kills the user
// confirmed in `kill`; deadlock reports in `deadlock` with their processes in
// `deadlock_participant` and the resources they held and wanted in `deadlock_resource` and
// `deadlock_lock`; the frames of each episode (one per refresh while it lasted) in
// `episode_frame`; the server's lock-wait counts in `lock_wait`; the causes of whole past days
// added up in `cause_day`. Times are integer milliseconds since 1970 (UTC). The schema's
// version is the file's user_version: an older file is brought up to date by the writer, a
// file of a newer version is refused rather than written over.
#pragma once

#include "DeadlockReport.h"
#include "Episode.h"
#include "EpisodeFrame.h"
#include "KillRecord.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

class QSqlQuery;

// Every failure of the store: the message says what could not be done and why.
class THistoryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An episode as stored: Episode.Id is the row's id.
struct TStoredEpisode {
    TEpisode Episode;
    std::optional<std::string> Statement; // the head blocker's last command, when it was read
};

struct THistoryFilter {
    std::string Server;    // empty: every server
    std::int64_t From = 0; // episodes that overlap [From, To]
    std::int64_t To = INT64_MAX;
    std::int64_t MinDuration = 0; // milliseconds
    int Limit = 100000;           // newest first, at most this many
};

// A deadlock as stored. From Deadlocks: the report's processes without their statements, no
// resources and no XML (a list stays small however long the statements); from Deadlock: all.
struct TStoredDeadlock {
    std::int64_t Id = 0;
    std::string Server;
    TDeadlockReport Report;
};

// The frames of one episode in the order they were recorded; Damaged counts those that could
// not be read (they are left out).
struct TFramesRead {
    std::vector<TEpisodeFrame> Frames;
    int Damaged = 0;
};

// One minute (or bucket) of one server on the timeline: the largest sum of blocked waits that
// a refresh saw in it, and the episode that had it.
struct TTimelineMinute {
    std::string Server;
    std::int64_t Minute = 0; // its first millisecond
    std::int64_t TotalWait = 0;
    std::int32_t Blocked = 0;
    std::int64_t EpisodeId = 0;
};

// The server's lock waits between two reads: (Since, At].
struct TLockWaitSample {
    std::string Server;
    std::int64_t At = 0;
    std::int64_t Since = 0;
    std::int64_t Waits = 0;
    std::int64_t WaitMs = 0;
};

// What the causes are grouped by; the numbers are stored (cause_day.kind).
enum class TCauseKind : int { Login = 0, Program = 1, Host = 2, Statement = 3, Object = 4 };

// One group of episodes: Key is null when the episodes have none (a statement not read).
struct TCause {
    std::optional<std::string> Key;
    std::int64_t Episodes = 0;
    std::int64_t TotalWait = 0; // milliseconds, the episodes' summed blocked waits
    std::int64_t Longest = 0;   // the longest episode, milliseconds
    std::int64_t LastSeen = 0;  // the latest end
};

class THistoryStore {
public:
    static constexpr int SchemaVersion = 4;

    // The history file beside the settings file: its name with "-history.sqlite" in place of
    // the extension ("tallyvane.ini" gives "tallyvane-history.sqlite").
    static std::string FileNameBeside(const std::string& settingsFileName);

    // Opens the file. For writing, a missing file is created readable by the user alone and
    // given the schema, the journal is WAL, and episodes that a previous run left open are
    // closed as Unknown. For reading, a missing file is an error.
    enum class TMode { Write, Read };
    THistoryStore(const std::string& fileName, TMode mode);
    ~THistoryStore();
    THistoryStore(const THistoryStore&) = delete;
    THistoryStore& operator=(const THistoryStore&) = delete;

    // Runs work in one transaction; any error rolls it back and is thrown.
    void Transaction(const std::function<void()>& work);

    // Writes an episode; rowId 0 inserts it and returns its new id. before is what was
    // written last for this row (nullptr: nothing), so that only sessions that changed are
    // written again.
    std::int64_t SaveEpisode(std::int64_t rowId, const TEpisode& episode, const TEpisode* before);
    void SaveStatement(std::int64_t rowId, const std::string& statement);
    // Deletes the episodes that ended before cutoff, with their sessions and frames, the kills
    // made and the lock waits counted before it, and the causes of the days before it; returns
    // how many episodes and kills.
    int DeleteEndedBefore(std::int64_t cutoff);
    // Gives free pages back to the file system after deletions.
    void Shrink();

    std::vector<TStoredEpisode> Episodes(const THistoryFilter& filter);
    std::vector<TEpisodeSession> Sessions(std::int64_t episodeId);
    // The servers with episodes or deadlocks.
    std::vector<std::string> Servers();

    // Kills: written by the writer, read newest first with the filter's server and time range.
    void SaveKill(const TKillRecord& kill);
    std::vector<TKillRecord> Kills(const THistoryFilter& filter);
    // Writes a deadlock report with its participants and resources; false when the server's
    // report of that time and victim is already stored (a report read twice is kept once).
    bool SaveDeadlock(const std::string& server, const TDeadlockReport& report);
    // Deletes the deadlocks that happened before cutoff, with their parts; returns how many.
    int DeleteDeadlocksBefore(std::int64_t cutoff);
    // Deadlocks in [From, To] of the filter's server (empty: all), newest first, at most Limit.
    std::vector<TStoredDeadlock> Deadlocks(const THistoryFilter& filter);
    // One deadlock whole; nullopt when it is no longer stored.
    std::optional<TStoredDeadlock> Deadlock(std::int64_t id);
    // The time of the newest deadlock stored for each server, among those not after notAfter:
    // a report dated far ahead (a server's clock that was wrong) must not stand for the newest.
    std::map<std::string, std::int64_t> NewestDeadlockTimes(std::int64_t notAfter = INT64_MAX);

    // Frames (HistoryStoreFrames.cpp). seq numbers the episode's frames from 0.
    void SaveFrame(std::int64_t episodeId, std::int64_t seq, const TEpisodeFrame& frame);
    TFramesRead Frames(std::int64_t episodeId);
    // Per server and bucket (a minute, or longer for a long range) of [From, To] of the
    // filter's server (empty: all).
    std::vector<TTimelineMinute> Timeline(const THistoryFilter& filter,
                                          std::int64_t bucketMs = 60000);
    void SaveLockWaits(const TLockWaitSample& sample);
    std::vector<TLockWaitSample> LockWaits(const THistoryFilter& filter);

    // Causes (HistoryStoreCauses.cpp): the episodes that started in [From, To] of the filter's
    // server (empty: all) and lasted at least MinDuration, grouped, the most blocked wait first.
    std::vector<TCause> Causes(const THistoryFilter& filter, TCauseKind kind);
    // The episodes of one group, newest first, at most the filter's Limit.
    std::vector<TStoredEpisode> CauseEpisodes(const THistoryFilter& filter, TCauseKind kind,
                                              const std::optional<std::string>& key);
    // Adds up the causes of the days (UTC) before today's that are over: no episode that
    // started on them is still open. Returns how many days were added.
    int RollUpCauses(std::int64_t nowMs);

    const std::string& FileName() const { return Path; }

private:
    // The columns of an episode row in the order EpisodeRow reads them.
    static const char* const EpisodeColumns;
    static TStoredEpisode EpisodeRow(const QSqlQuery& query);
    // Computes head_fingerprint and wait_object for episodes written before they existed.
    void FillCauseKeys();
    void Exec(const QString& sql);
    void CreateOrCheckSchema(TMode mode);
    void ApplySchemaSteps(int fromVersion);
    int CloseOpenEpisodes();
    THistoryError Failure(const std::string& what, const QString& why) const;

    struct TPrepared;

    std::string Path;
    QString ConnectionName;
    std::unique_ptr<TPrepared> Prepared; // statements kept ready for the writer
};
