/*
 * store_reading.h - how a program of this project reads a store: open it,
 * list its graphs, series and migrations, and walk the decoded chunks of a
 * series. The `orvtsdb` command reads through these calls rather than
 * through the store's own tables, so that the tables can change with the
 * format (FORMAT.md) without the commands following.
 *
 * Every call returns false (or null) with a reason in err on an SQLite
 * error; nothing here writes to the store. One connection, one thread.
 */
#ifndef ORVTSDB_STORE_READING_H
#define ORVTSDB_STORE_READING_H

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace orvtsdb {

/* Values, as every reader needs them (defined with the chunk codec); roles
 * are in orvtsdb_data_roles.h. */

/* True for the missing-sample marker TSDB_MISSING_VALUE, compared bit for
 * bit (a NaN is a value, not the marker). */
bool is_missing(double v);

/* Opens the store `argument` names for reading: a run directory
 * (<dir>/tsdb/metrics.sqlite) or a store file; *path is set to the file.
 * A hot journal left by a killed migration is rolled back first; the
 * connection that is returned cannot write (read-only, defensive, and an
 * authorizer that refuses every change: read_connection.h) and has the
 * `samples` table. It holds one read transaction, opened before the first
 * check, until it is closed: everything read through it comes from one
 * snapshot of the store, and a writer's commit waits for its end. Null with
 * a reason naming the store in err when there is none, it is not a store of
 * this format, or it stays locked past the busy timeout ("busy ... try
 * again"). Close with sqlite3_close. */
sqlite3 *open_store_for_reading(const std::string &argument, std::string *path, std::string &err);

/* What a reader relies on beyond the chunks, checked (a store of the
 * current format; one of the older format has its tables checked only):
 * the tables, columns and indexes; every row's check in the tables of
 * migrations, groups, graphs, series, labels, kept series and facts, and
 * with `indexes` those tables' indexes (SQLite's integrity check of each); each
 * series' labels against its label rows; the links between them; and the
 * facts' totals against the chunk rows and the migrations. One line per
 * fault, at most `limit` of them; err is set on an SQLite error. */
std::vector<std::string> store_faults(sqlite3 *db, size_t limit, std::string &err,
                                      bool indexes = true);

/* SQLite's integrity check of `table` and its indexes (of the whole file
 * when empty): a line per fault, "table T: ..." ("file: ..."). */
std::vector<std::string> integrity_faults(sqlite3 *db, const std::string &table, std::string &err);

/* store_faults(db, 1): false with err naming the store and its first fault
 * ("... (orvtsdb verify lists every fault)"). Every command that reads a
 * store and shows what it holds calls this first. */
bool check_store(sqlite3 *db, std::string &err);

/* What audit_store found besides its fault lines. */
struct StoreAudit {
  int format = 0;                      // the store's format (0 when it is none this library reads)
  bool row_checks = false;             // it has row checks and series' facts (the current format)
  int64_t chunks = 0, migrations = 0;  // chunk rows and finished migrations checked
};

/* Everything `orvtsdb verify` checks, each fault a line given to fault:
 * SQLite's integrity check of the file; store_faults (at most `limit`
 * lines of it); every chunk row (its check, its blob decoded, its count,
 * end time, series, graph, migration and role count, no two sharing a
 * time); the facts of every series and graph against its chunk rows; and
 * every finished migration's sample count against its chunks. A store of
 * the older format is checked without the row checks and facts it does not
 * have. An SQLite error is a fault line too. */
StoreAudit audit_store(sqlite3 *db, size_t limit,
                       const std::function<void(const std::string &)> &fault);

/* What one migration recorded, and what re-migrations after it kept of the
 * series it wrote. Times are absent where not recorded. */
struct MigrationEntry {
  struct Kept {
    int64_t from_migration = 0;
    std::string reason;
    int64_t series = 0;
  };
  int64_t id = 0;
  std::string run;
  std::optional<int64_t> start, end, first_sample, last_sample, started_at, finished_at;
  int64_t inserts = 0, values = 0;
  std::vector<Kept> kept;  // the series of earlier migrations this one kept, by reason
};

/* The totals of a store, as `info` shows them. */
struct StoreTotals {
  std::vector<MigrationEntry> migrations;        // by id
  std::optional<int64_t> first_time, last_time;  // absent when no sample is stored
  int64_t groups = 0, graphs = 0, series = 0, ended_series = 0;
  int64_t chunks = 0, chunk_bytes = 0, samples = 0, values = 0;
};

/* The totals of the store. The counts and span taken from the chunk rows
 * are held against the facts of the series (a store of the older format
 * has none): a damaged row field must not show as a count. false with err
 * naming the store and what differs, or SQLite's reason. */
bool store_totals(sqlite3 *db, StoreTotals &out, std::string &err);

/* Prepares the first statement of sql on a connection from open_store_for_reading
 * (the next one starts at *tail; *out is null for blank text or a comment).
 * SQLITE_AUTH with err naming what was refused when the statement would
 * change anything or calls a function a reader may not; another SQLite
 * code with SQLite's reason otherwise. */
int prepare_reading_statement(sqlite3 *db, const char *sql, sqlite3_stmt **out, const char **tail,
                              std::string &err);

/* Ends the snapshot of a connection from open_store_for_reading: each
 * statement then reads a snapshot of its own, as SQL a person gives does
 * (it may begin and end transactions of its own). */
bool end_snapshot(sqlite3 *db, std::string &err);

/* Rolls back the journal a migration killed since db's last read left
 * beside its store, so that the next read on db goes on: the reading
 * connection cannot (it is read-only), so a statement that starts a read of
 * its own after end_snapshot fails with SQLITE_READONLY until this is done.
 * False with a reason naming the store when it cannot. */
bool roll_back_left_journal(sqlite3 *db, std::string &err);

/* Limits for SQL a person gives (orvtsdb sql): how long it may run, the
 * longest string or blob it may make, and the memory SQLite may use in the
 * process (a soft limit at a quarter, where SQLite gives back its caches,
 * and a hard one). Functions are limited on every reading connection: the
 * core scalar, aggregate, window, date, math and JSON functions and the
 * store's own; anything else is refused as the statement is prepared. */
struct UserSqlLimits {
  double timeout_s = 60;
  int value_bytes = 64 << 20;
  int64_t heap_bytes = int64_t(1) << 30;
};

/* Sets limits on db, a connection from open_store_for_reading; the time
 * counts from this call. */
void limit_user_sql(sqlite3 *db, const UserSqlLimits &limits);

/* When SQL under limit_user_sql on this thread must stop. */
std::chrono::steady_clock::time_point user_sql_deadline();

/* What a statement stopped at its time limit says ("stopped after ..."). */
std::string stopped_text(const UserSqlLimits &limits);

/* Why a statement under limit_user_sql stopped with code rc: which limit,
 * named as the person sees it, or SQLite's reason. */
std::string user_sql_failure(sqlite3 *db, int rc, const UserSqlLimits &limits);

/* One run the store holds: its number in this store (from 1, in the order
 * of its first migration into it), its id (the run.id text, or "store"),
 * where its folder was at its last migration ("" when not recorded) and that
 * folder's last part, its name (TR<n> for a run folder), the earliest start
 * of its migrations, and how many migrations it has. */
struct RunEntry {
  int64_t number = 0;
  std::string id, run_dir, name;
  std::vector<std::string> folders;  // every folder its migrations recorded
  int64_t start_time = 0;
  int64_t migrations = 0;
};

/* Every run, by number. */
bool list_runs(sqlite3 *db, std::vector<RunEntry> &out, std::string &err);

/* Whether the store keeps every run's series apart (a store written before
 * runs had series of their own does not: its series' run is 0). */
bool series_have_runs(sqlite3 *db, bool *yes, std::string &err);

/* One metric group: its id, name, where it sits (hierarchy, metric), how
 * many series it has (in all, and per run number: run 0 in a store whose
 * series have no run) and the names of its graphs by position ("" when
 * absent). */
struct GroupEntry {
  int64_t gid = 0;
  std::string name, hierarchy, metric;  // hierarchy and metric "" when absent
  int64_t series = 0;
  std::vector<std::string> graphs;
  std::map<int64_t, int64_t> series_of_run;
};

/* Every group, by id. */
bool list_groups(sqlite3 *db, std::vector<GroupEntry> &out, std::string &err);

/* One graph of a group: its place (gid, idx) and what the group table says. */
struct GraphEntry {
  int64_t gid = 0;
  int idx = 0;  // position in its group
  int data_type = 0;
  std::string group, name, description;  // name and description "" when absent
  int formula = -1;                      // as registered: "PS" 3, "PM" 2, -1 unknown
};

/* Whether a group named `name` exists, in *exists. */
bool find_group(sqlite3 *db, const std::string &name, bool *exists, std::string &err);

/* The graphs of group `group` (every group when empty) named `graph` (any
 * when empty), ordered by group name, then position. */
bool list_graphs(sqlite3 *db, const std::string &group, const std::string &graph,
                 std::vector<GraphEntry> &out, std::string &err);

/* One series: its id, its stored identity text "tag=value,..." and the
 * tag/value pairs in their order, the clock times it was created and ended
 * (absent while open), and the number of its run (0 in a store whose series
 * have no run). */
struct SeriesEntry {
  int64_t sid = 0;
  std::string labels;
  std::vector<std::pair<std::string, std::string>> tags;
  std::optional<int64_t> created, ended;
  int64_t run = 0;
};

/* The series of group gid, by id. */
bool list_series(sqlite3 *db, int64_t gid, std::vector<SeriesEntry> &out, std::string &err);

/* Which run a migration belongs to and where the run was. Both describe
 * the run, not the migration: every migration of a run gives the same, so
 * a run migrated again from another folder keeps one set of labels. */
struct MigrationRun {
  std::string run, run_dir;  // run_dir: its first migration's ("" when not recorded)
  int64_t start_time = 0;    // the run's start: the earliest start of its migrations
};

/* Every migration's run, by migration id. */
bool list_migration_runs(sqlite3 *db, std::map<int64_t, MigrationRun> &out, std::string &err);

/* One decoded chunk of a walk. column(r)[i] is role r of sample i at time
 * start + i * step; the missing marker where nothing was known. Valid only
 * during the callback. */
struct ChunkView {
  int64_t sid = 0, start = 0, step = 0, migration = 0;
  int graph = 0, data_type = 0;  // data_type: the graph's when the chunk was written
  int count = 0, roles = 0;
  const double *values = nullptr;
  const double *column(int r) const { return values + (size_t)r * count; }
};

/* Calls fn for every chunk of series sid and graph `graph` (its position in
 * the group) that overlaps [from, to], in time order; samples outside the
 * range are the caller's to skip. The series' chunk rows are listed and
 * held against its recorded facts first (each row's check, their count,
 * span, sample and value counts, no overlap), then only the chunks in the
 * range are read, each blob's checksum tested. false at the first fault,
 * before fn saw anything of a series whose rows are wrong, with a reason
 * naming the store, series (group and labels), graph and time range. */
bool for_each_chunk(sqlite3 *db, int64_t sid, int graph, int64_t from, int64_t to,
                    const std::function<void(const ChunkView &)> &fn, std::string &err);

/* Holds the chunk rows of series sid and graph `graph` against its
 * recorded facts, as for_each_chunk does first, without reading a blob:
 * false with the reason for_each_chunk would give when they do not agree.
 * A reader that writes as it reads calls this for everything it selected
 * before its first line. */
bool check_chunk_rows(sqlite3 *db, int64_t sid, int graph, std::string &err);

/* for_each_chunk and check_chunk_rows for a reader of many series: the
 * statement of the walk is prepared once for the life of the object, where
 * each call of those functions prepares its own (a wide store has thousands
 * of series and graphs). It reads db, which must outlive it. */
class CheckedWalk;
class ChunkWalker {
 public:
  explicit ChunkWalker(sqlite3 *db);
  ~ChunkWalker();
  ChunkWalker(const ChunkWalker &) = delete;
  ChunkWalker &operator=(const ChunkWalker &) = delete;
  bool for_each_chunk(int64_t sid, int graph, int64_t from, int64_t to,
                      const std::function<void(const ChunkView &)> &fn, std::string &err);
  bool check_chunk_rows(int64_t sid, int graph, std::string &err);

 private:
  sqlite3 *db_;
  std::unique_ptr<CheckedWalk> walk_;  // null until prepared, and for a store without facts
};

/* The first and last time a sample is stored at, over the whole store or
 * over the series of the runs numbered in `runs` when it names any, in
 * *first and *last; *any false (and the times untouched) when there is none. */
bool stored_time_span(sqlite3 *db, int64_t *first, int64_t *last, bool *any, std::string &err,
                      const std::vector<int64_t> &runs = {});

/* The graphs, as gid * 2^32 + idx, that the series of the runs numbered in
 * `runs` hold samples of (from the facts; a store older than them has
 * its runs together, and is read whole). */
bool graphs_of_runs(sqlite3 *db, const std::vector<int64_t> &runs, std::set<int64_t> &out,
                    std::string &err);

/* The file db reads, as messages name it ("the store" when it has none). */
std::string store_name(sqlite3 *db);

/* Whether series sid holds a sample of graph `graph` at a time in
 * [from, to], from the chunk rows alone, in *any. */
bool any_stored_sample(sqlite3 *db, int64_t sid, int graph, int64_t from, int64_t to, bool *any,
                       std::string &err);

/* Samples stored in the chunks of series sid and graph `graph` that
 * overlap [from, to] (whole chunks), without decoding them, in *count. */
bool count_stored_samples(sqlite3 *db, int64_t sid, int graph, int64_t from, int64_t to,
                          int64_t *count, std::string &err);

}  // namespace orvtsdb

#endif
