#include "HistorySchema.h"

const std::vector<const char*> BaseSchema = {
    "CREATE TABLE episode ("
    " id INTEGER PRIMARY KEY,"
    " server TEXT NOT NULL,"
    " start_ms INTEGER NOT NULL,"
    " end_ms INTEGER NOT NULL,"
    " end_kind INTEGER NOT NULL," // 0 open, 1 ended, 2 unknown (the server stopped answering)
    " peak_wait_ms INTEGER NOT NULL,"
    " peak_blocked INTEGER NOT NULL,"
    " total_wait_ms INTEGER NOT NULL,"
    " head_spid INTEGER NOT NULL,"
    " head_login TEXT NOT NULL,"
    " head_host TEXT NOT NULL,"
    " head_program TEXT NOT NULL,"
    " head_database TEXT NOT NULL,"
    " head_status TEXT NOT NULL,"
    " head_open_tran INTEGER NOT NULL,"
    " head_statement TEXT)", // NULL: not read
    "CREATE INDEX episode_server_start ON episode (server, start_ms)",
    "CREATE INDEX episode_server_end ON episode (server, end_ms)",
    "CREATE INDEX episode_end ON episode (end_ms)",
    "CREATE TABLE blocked_session ("
    " episode_id INTEGER NOT NULL,"
    " ordinal INTEGER NOT NULL," // order in which the episode first saw it blocked
    " spid INTEGER NOT NULL,"
    " login TEXT NOT NULL,"
    " host TEXT NOT NULL,"
    " program TEXT NOT NULL,"
    " database TEXT NOT NULL,"
    " wait_type TEXT NOT NULL,"
    " wait_resource TEXT NOT NULL,"
    " blocked_by INTEGER NOT NULL,"
    " longest_wait_ms INTEGER NOT NULL,"
    " total_wait_ms INTEGER NOT NULL,"
    " PRIMARY KEY (episode_id, ordinal)) WITHOUT ROWID",
};

const std::vector<THistorySchemaStep> SchemaSteps = {
    {2,
     {
         // Every kill the user confirmed, whether the server carried it out or refused it.
         "CREATE TABLE kill ("
         " id INTEGER PRIMARY KEY,"
         " server TEXT NOT NULL,"
         " time_ms INTEGER NOT NULL,"
         " spid INTEGER NOT NULL,"
         " login TEXT NOT NULL,"
         " host TEXT NOT NULL,"
         " program TEXT NOT NULL,"
         " statement TEXT,"          // NULL: not read
         " killed_by TEXT NOT NULL," // the local user who confirmed it
         " open_tran INTEGER NOT NULL,"
         " blocked_count INTEGER NOT NULL," // sessions it blocked, directly or behind others
         " outcome TEXT NOT NULL)",         // empty: done; otherwise the server's refusal
         "CREATE INDEX kill_time ON kill (time_ms)",
     }},
    {3,
     {
         // One row per deadlock report read from a server; the victim as the report names it
         // first, and the whole report as the server wrote it.
         "CREATE TABLE deadlock ("
         " id INTEGER PRIMARY KEY,"
         " server TEXT NOT NULL,"
         " time_ms INTEGER NOT NULL,"
         " victim_spid INTEGER NOT NULL,"
         " victim_login TEXT NOT NULL,"
         " victim_host TEXT NOT NULL,"
         " victim_program TEXT NOT NULL,"
         " victim_statement TEXT NOT NULL,"
         " truncated INTEGER NOT NULL," // the report was cut off; what could be read is kept
         " report_xml TEXT NOT NULL,"
         " UNIQUE (server, time_ms, victim_spid))",
         "CREATE INDEX deadlock_time ON deadlock (time_ms)",
         "CREATE TABLE deadlock_participant ("
         " deadlock_id INTEGER NOT NULL,"
         " ordinal INTEGER NOT NULL," // order in the report's process list
         " process_id TEXT NOT NULL,"
         " spid INTEGER NOT NULL,"
         " victim INTEGER NOT NULL,"
         " login TEXT NOT NULL,"
         " host TEXT NOT NULL,"
         " program TEXT NOT NULL,"
         " database TEXT NOT NULL,"
         " lock_mode TEXT NOT NULL,"
         " wait_resource TEXT NOT NULL,"
         " object_name TEXT NOT NULL,"
         " index_name TEXT NOT NULL,"
         " statement TEXT NOT NULL,"
         " PRIMARY KEY (deadlock_id, ordinal)) WITHOUT ROWID",
         // The resources they held and wanted, for drawing who waited for whom.
         "CREATE TABLE deadlock_resource ("
         " deadlock_id INTEGER NOT NULL,"
         " ordinal INTEGER NOT NULL," // order in the report's resource list
         " kind TEXT NOT NULL,"       // keylock, pagelock, objectlock, exchangeEvent, ...
         " object_name TEXT NOT NULL,"
         " index_name TEXT NOT NULL,"
         " wait_type TEXT NOT NULL," // what an exchange event's threads wait for
         " PRIMARY KEY (deadlock_id, ordinal)) WITHOUT ROWID",
         "CREATE TABLE deadlock_lock ("
         " deadlock_id INTEGER NOT NULL,"
         " resource_ordinal INTEGER NOT NULL,"
         " waiter INTEGER NOT NULL,"  // 0 owns the resource, 1 waits for it
         " ordinal INTEGER NOT NULL," // order in the owner or waiter list
         " process_id TEXT NOT NULL," // the participant's process_id
         " mode TEXT NOT NULL,"
         " PRIMARY KEY (deadlock_id, resource_ordinal, waiter, ordinal)) WITHOUT ROWID",
     }},
    {4,
     {
         // The causes grouping: the head's statement without its values (NULL: not read) and
         // the object its sessions waited on; filled in for older episodes by the upgrade.
         "ALTER TABLE episode ADD COLUMN head_fingerprint TEXT",
         "ALTER TABLE episode ADD COLUMN wait_object TEXT NOT NULL DEFAULT ''",
         "CREATE INDEX episode_start ON episode (start_ms)",
         // One row per refresh of an open episode: the figures as columns (the timeline sums
         // them), the sessions as a blob (EpisodeFrame.h). seq orders them, whatever the clock
         // did between two refreshes. A rowid table keeps a blob of a kilobyte or two in its
         // page, where a table without rowid would spill it to overflow pages.
         "CREATE TABLE episode_frame ("
         " id INTEGER PRIMARY KEY,"
         " episode_id INTEGER NOT NULL,"
         " seq INTEGER NOT NULL,"
         " at_ms INTEGER NOT NULL,"
         " blocked INTEGER NOT NULL,"
         " total_wait_ms INTEGER NOT NULL,"
         " longest_wait_ms INTEGER NOT NULL,"
         " head_status TEXT NOT NULL,"
         " head_open_tran INTEGER NOT NULL,"
         " sessions BLOB NOT NULL)",
         "CREATE UNIQUE INDEX episode_frame_seq ON episode_frame (episode_id, seq)",
         // The server's own count of lock waits, as deltas between two reads.
         "CREATE TABLE lock_wait ("
         " server TEXT NOT NULL,"
         " at_ms INTEGER NOT NULL,"
         " since_ms INTEGER NOT NULL," // the previous read: the deltas cover (since, at]
         " waits INTEGER NOT NULL,"
         " wait_ms INTEGER NOT NULL)",
         "CREATE INDEX lock_wait_time ON lock_wait (at_ms)",
         // The causes of whole past days, added up once, so that a year groups at once. kind:
         // 0 login, 1 program, 2 host, 3 statement, 4 object.
         "CREATE TABLE cause_day ("
         " day_ms INTEGER NOT NULL,"
         " kind INTEGER NOT NULL,"
         " key TEXT,"
         " server TEXT NOT NULL,"
         " episodes INTEGER NOT NULL,"
         " total_wait_ms INTEGER NOT NULL,"
         " longest_ms INTEGER NOT NULL,"
         " last_seen_ms INTEGER NOT NULL)",
         "CREATE INDEX cause_day_kind ON cause_day (kind, day_ms)",
         "CREATE TABLE cause_day_done (day_ms INTEGER PRIMARY KEY)",
     }},
};
