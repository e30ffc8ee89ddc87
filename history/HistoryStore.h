// The blocking history in an SQLite file: the only code that speaks SQL. One object is one
// connection and belongs to the thread that created it: the writer thread keeps one for
// writing, the history window opens its own for reading (WAL lets both work at once).
//
// Layout: one row per episode in `episode`, extended in place while it lasts (its end moves,
// its peaks grow), and one row per blocked session in `blocked_session`; the kills the user
// confirmed in `kill`; deadlock reports in `deadlock` with their processes in
// `deadlock_participant` and the resources they held and wanted in `deadlock_resource` and
// `deadlock_lock`. Times are integer milliseconds since 1970 (UTC). The schema's
// version is the file's user_version: an older file is brought up to date by the writer, a
// file of a newer version is refused rather than written over.
#pragma once

#include "DeadlockReport.h"
#include "Episode.h"
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

class THistoryStore {
public:
    static constexpr int SchemaVersion = 3;

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
    // Deletes the episodes that ended before cutoff, with their sessions, and the kills made
    // before it; returns how many rows of either.
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

    const std::string& FileName() const { return Path; }

private:
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
