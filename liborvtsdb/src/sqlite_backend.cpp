/*
 * sqlite_backend.cpp - the embedded container: one SQLite file, one write
 * transaction per migration.
 *
 * The transaction is taken at begin() (BEGIN IMMEDIATE, so a second writer
 * waits or fails at once instead of half-way) and ends at commit() or abort().
 * The rollback journal and full syncs stay on: a process killed at any point
 * leaves the file as it was at the last commit, and pages spilled during a
 * long migration never become visible on their own. Chunks are appended
 * once, each batch in the order that fills the chunks table's pages
 * (chunk_packing.h); a commit that fails (full disk) rolls back as a whole.
 *
 * The tables are created in a transaction of their own when the store is
 * opened, so a store whose first migration failed is still a (empty) store.
 * A new store file is made under a temporary name and linked into place
 * only once its tables are committed: a first migration that cannot even
 * create them (full disk) leaves no file, never a file without tables.
 * A lock held by another process is waited for loc.busy_timeout_ms; after
 * that the migration is refused (a second migration of a run does not queue
 * behind the first, and the first's result stays). The wait runs on across
 * the spills of the page cache that gave up (a spill that finds the file
 * held keeps its pages and gives up quietly), until the migration gets the
 * lock again: otherwise a reader that holds the file would keep every spill
 * of a long migration waiting the whole time, and the migration waiting
 * for as long as the reader reads.
 *
 * Every row written carries its check (store_checks.h), and a row changed
 * is checked before and after: a migration never gives a damaged row a new
 * valid check. The facts of every series the migration writes are held
 * against its earlier rows first and written anew at the commit. A store of
 * the older format is upgraded at begin(), inside the migration's
 * transaction.
 */
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>

#include "chunk_packing.h"
#include "remigration.h"
#include "run_summary.h"
#include "sqlite_stmt.h"
#include "store_backend.h"
#include "store_checks.h"
#include "store_format.h"
#include "store_reading.h"
#include "store_schema.h"

namespace orvtsdb {

namespace {

class SqliteBackend final : public StoreBackend {
 public:
  ~SqliteBackend() override;
  bool open(const StoreLocation &loc, std::string &err);

  bool begin(const MigrationRecord &m, int64_t *migration_id, std::string &err) override;
  bool put_group(const GroupRecord &g, const std::vector<GraphRecord> &graphs, int *gid,
                 std::string &err) override;
  bool put_series(int gid, const std::string &key, const TagList &tags, int64_t now, int64_t *sid,
                  std::string &err) override;
  bool set_series_end(int64_t sid, int64_t when, std::string &err) override;
  bool put_chunk(const ChunkRecord &c, std::string &err) override;
  bool put_chunks(const ChunkRecord *c, size_t n, std::string &err) override;
  bool replace_run_samples(const Replacement &r, std::vector<KeptSeries> *kept,
                           std::string &err) override;
  bool commit(const MigrationRecord &m, std::string &err) override;
  void abort() override;

 private:
  bool prepare_all(std::string &err);
  bool create_schema(std::string &err);
  bool lock_for_writing(std::string &err);
  bool fail(std::string &err) {
    err = failure_text(db_);
    return false;
  }
  bool done(Stmt &s, std::string &err) {
    // A failed statement (out of memory) may have rolled the transaction
    // back: nothing more is written, or it would be stored on its own.
    if (in_txn_ && sqlite3_get_autocommit(db_)) {
      err = "the migration's transaction was rolled back after an earlier failure";
      return false;
    }
    int rc = s.step();
    s.reset();
    return (rc == SQLITE_DONE || rc == SQLITE_ROW) || fail(err);
  }
  bool check_earlier_facts(const Replacement &r, std::string &err);
  bool hold_against_format(std::string &err);
  bool find_run(const std::string &run, std::string &err);

  // Declared before the statements so that it closes after they finalize.
  struct Connection {
    sqlite3 *p = nullptr;
    ~Connection() { sqlite3_close(p); }
    operator sqlite3 *() const { return p; }
  } db_;
  bool in_txn_ = false;
  int64_t migration_ = 0;
  int64_t run_ = 0;  // runs.id of the run migrated
  int busy_timeout_ms_ = 0;
  // The wait for other processes' locks (busy_wait): since when, whether
  // the last wait gave up (the next one then runs on from it), and whether
  // the whole wait is spent.
  std::optional<std::chrono::steady_clock::time_point> busy_since_;
  bool busy_gave_up_ = false, busy_expired_ = false;
  static int busy_wait(void *self, int tries);
  std::string busy_reason() const {
    return "locked by another process (a migration in progress?); waited " +
           std::to_string(busy_timeout_ms_) + " ms (ORVTSDB_BUSY_TIMEOUT_MS sets the wait)";
  }
  // The last page of the chunks table as the inserts leave it, and the
  // rowid the next row gets (chunk_packing.h).
  PageFill fill_;
  int64_t next_rowid_ = 1;
  int64_t page_size_ = 0;
  Stmt find_group_, insert_group_, update_group_, put_graph_, find_graph_, graph_of_others_;
  Stmt find_series_, insert_series_, insert_label_, end_series_, insert_chunk_;
  Stmt check_group_, check_series_;
  FactsKeeper facts_;
  // Whose earlier facts were held against their rows, or need not be: the
  // series this migration created have none (a row of another series moved
  // onto one fails its check when the facts are written).
  std::set<int64_t> checked_sids_;
  std::set<int64_t> written_sids_;  // whose facts the commit writes anew
  // The series this migration created (numbered after every earlier one, so
  // the first key is the least) and the facts of the rows it inserted for them.
  std::map<int64_t, FactsOfSeries> created_;
  std::multimap<size_t, size_t> by_bytes_;  // put_chunks' rows by their bytes in a page
  std::vector<ChunkRowShape> rows_;         // and their rows
  bool keeps_others_graphs(int64_t gid, const std::string &group,
                           const std::vector<GraphRecord> &graphs, std::string &err);
  ChunkRowShape row_of(const ChunkRecord &c) const;
  void note_chunk(const ChunkRowShape &row);
  bool insert_chunk(const ChunkRowShape &row, const void *blob, std::string &err);
  bool write_facts(std::string &err);
};

SqliteBackend::~SqliteBackend() { abort(); }

/* Makes the store file at `path` with its tables: written as a temporary
 * file beside it and linked in when complete. When another process made the
 * store meanwhile, that one stays. Its pages are 16 KiB: a chunk row is one or
 * two kilobytes, and a 4 KiB page leaves about a tenth of itself unused at its
 * end where no whole row fits; a 16 KiB page leaves a fortieth. */
bool create_store_file(const std::string &path, std::string &err) {
  std::string tmp = path + ".new." + std::to_string(::getpid());
  sqlite3 *db = nullptr;
  bool ok = sqlite3_open_v2(tmp.c_str(), &db,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr) == SQLITE_OK;
  if (!ok) err = db ? sqlite3_errmsg(db) : "cannot create " + tmp;
  ok = ok && register_check_function(db, err) &&
       exec_sql(db,
                "PRAGMA page_size=16384; PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;"
                "BEGIN IMMEDIATE",
                err) &&
       ensure_schema(db, err) && exec_sql(db, "COMMIT", err);
  if (sqlite3_close(db) != SQLITE_OK && ok) {
    err = "cannot close " + tmp;
    ok = false;
  }
  if (ok && ::link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
    err = "cannot create the store: " + std::string(std::strerror(errno));
    ok = false;
  }
  ::unlink(tmp.c_str());
  ::unlink((tmp + "-journal").c_str());
  return ok;
}

bool SqliteBackend::open(const StoreLocation &loc, std::string &err) {
  if (!make_parent_dirs(loc.path, err)) return false;
  struct stat st;
  if (::stat(loc.path.c_str(), &st) != 0 && errno == ENOENT && !create_store_file(loc.path, err)) {
    err = loc.path + ": " + err;
    return false;
  }
  // One thread uses the connection: no mutex around every SQLite call.
  if (sqlite3_open_v2(loc.path.c_str(), &db_.p,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    err = loc.path + ": " + (db_.p ? sqlite3_errmsg(db_) : "cannot open");
    return false;
  }
  busy_timeout_ms_ = loc.busy_timeout_ms;
  sqlite3_busy_handler(db_, busy_wait, this);
  if (!register_check_function(db_, err)) return false;
  // A 2 MiB page cache: the inserts append, so a larger one gained nothing
  // measurable (12 MiB, paired on medium and large), and the migration's
  // memory on a large run stays within the largest raw file + 96 MiB with
  // the open chunks' segments held (migration.h).
  return exec_sql(db_,
                  "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;"
                  "PRAGMA cache_size=-2048;",
                  err) &&
         (has_schema(db_) || create_schema(err));
}

/* SQLite's busy handler: sleeps as its own does (a few ms, then longer)
 * until the store has been held busy_timeout_ms since the migration last
 * had it (a wait that got the lock ends the wait; one that gave up does
 * not); from then on every wait fails at once, and the migration with it
 * (busy_expired_). */
int SqliteBackend::busy_wait(void *self, int tries) {
  static constexpr int kDelaysMs[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
  auto *b = static_cast<SqliteBackend *>(self);
  auto now = std::chrono::steady_clock::now();
  if (!b->busy_since_ || (tries == 0 && !b->busy_gave_up_)) b->busy_since_ = now;
  auto left = std::chrono::milliseconds(b->busy_timeout_ms_) - (now - *b->busy_since_);
  b->busy_gave_up_ = left <= std::chrono::milliseconds(0);
  if (b->busy_gave_up_) {
    b->busy_expired_ = true;
    return 0;
  }
  constexpr int kSteps = (int)(sizeof kDelaysMs / sizeof kDelaysMs[0]);
  auto delay = std::chrono::milliseconds(kDelaysMs[std::min(tries, kSteps - 1)]);
  std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(delay, left));
  return 1;
}

/* BEGIN IMMEDIATE: the write lock now, or a refusal that says who holds it. */
bool SqliteBackend::lock_for_writing(std::string &err) {
  busy_since_.reset();
  busy_gave_up_ = busy_expired_ = false;
  if (exec_sql(db_, "BEGIN IMMEDIATE", err)) return true;
  if (sqlite3_errcode(db_) == SQLITE_BUSY) err = busy_reason();
  return false;
}

bool SqliteBackend::create_schema(std::string &err) {
  if (!lock_for_writing(err)) return false;
  if (ensure_schema(db_, err) && exec_sql(db_, "COMMIT", err)) return true;
  std::string ignored;
  exec_sql(db_, "ROLLBACK", ignored);
  return false;
}

bool SqliteBackend::prepare_all(std::string &err) {
  return find_group_.prepare(db_, "SELECT gid FROM groups WHERE name=?1", err) &&
         insert_group_.prepare(
             db_,
             "INSERT INTO groups(name,description,metric,hierarchy,type,report_id,num_graphs,"
             "delay) VALUES(?1,?2,?3,?4,?5,?6,?7,?8)",
             err) &&
         update_group_.prepare(
             db_,
             "UPDATE groups SET description=?2,metric=?3,hierarchy=?4,type=?5,report_id=?6,"
             "num_graphs=?7,delay=?8 WHERE name=?1",
             err) &&
         find_graph_.prepare(db_, "SELECT name, data_type FROM graphs WHERE gid=?1 AND idx=?2",
                             err) &&
         graph_of_others_.prepare(db_,
                                  "SELECT s.run FROM series s JOIN series_facts f ON f.sid = s.sid "
                                  "WHERE s.gid=?1 AND f.graph=?2 AND s.run<>?3 LIMIT 1",
                                  err) &&
         put_graph_.prepare(db_,
                            "INSERT OR REPLACE INTO graphs VALUES(?1,?2,?3,?4,?5,?6,?7,?8,"
                            "check_of('graphs',?1,?2,?3,?4,?5,?6,?7,?8))",
                            err) &&
         find_series_.prepare(db_, "SELECT sid FROM series WHERE run=?3 AND gid=?1 AND labels=?2",
                              err) &&
         insert_series_.prepare(
             db_, "INSERT INTO series(run,gid,labels,created) VALUES(?4,?1,?2,?3)", err) &&
         insert_label_.prepare(db_,
                               "INSERT INTO series_labels VALUES(?1,?2,?3,?4,"
                               "check_of('series_labels',?1,?2,?3,?4))",
                               err) &&
         // Only a row that still matches its check is changed.
         end_series_.prepare(db_,
                             ("UPDATE series SET ended=?2, row_check=check_of('series', sid, run, "
                              "gid, labels, created, ?2) WHERE sid=?1 AND row_check IS " +
                              row_check_sql("series"))
                                 .c_str(),
                             err) &&
         check_group_.prepare(db_, row_check_update("groups", "gid = ?1").c_str(), err) &&
         check_series_.prepare(db_, row_check_update("series", "sid = ?1").c_str(), err) &&
         insert_chunk_.prepare(db_, "INSERT INTO chunks VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10)",
                               err) &&
         facts_.prepare(db_, err);
}

/* Holds the store against the format it claims before anything is
 * written: a table, column or blob newer than that format is damage, not a
 * store to upgrade (the upgrade would give it valid checks). A store of the
 * current format has its store_info checked too; an older one that has row
 * checks is audited whole, as verify does, since its upgrade computes the
 * checks of the rows it rewrites anew and would make their damage valid. */
bool SqliteBackend::hold_against_format(std::string &err) {
  int format = 0;
  if (!check_format(db_, err, &format)) return false;
  std::vector<std::string> faults = schema_faults(db_, format, err);
  if (!err.empty()) return false;
  if (faults.empty() && format >= FIRST_CHECKED_STORE_FORMAT && format < STORE_FORMAT)
    audit_store(db_, 1, [&](const std::string &f) {
      if (faults.empty()) faults.push_back(f);
    });
  if (faults.empty() && format == STORE_FORMAT) {
    Stmt s;
    if (!s.prepare(
            db_,
            ("SELECT key FROM store_info WHERE row_check IS NOT " + row_check_sql("store_info"))
                .c_str(),
            err))
      return false;
    int rc = s.step();
    if (rc == SQLITE_ROW)
      faults.push_back("store_info " + s.col_text(0) + " does not match its check");
    else if (rc != SQLITE_DONE)
      return fail(err);
  }
  if (!faults.empty()) {
    err = "the store is damaged: " + faults[0] + " (orvtsdb verify lists every fault)";
    return false;
  }
  return format == STORE_FORMAT ? add_later_tables(db_, err) : upgrade_store(db_, format, err);
}

/* The run's row in runs, made on its first migration into the store. */
bool SqliteBackend::find_run(const std::string &run, std::string &err) {
  Stmt find, add, check;
  if (!find.prepare(
          db_,
          ("SELECT id, row_check IS " + row_check_sql("runs") + " FROM runs WHERE run=?1").c_str(),
          err))
    return false;
  find.bind(1, run);
  int rc = find.step();
  if (rc == SQLITE_ROW) {
    run_ = find.col_int(0);
    if (find.col_int(1)) return true;
    err = "run #" + std::to_string(run_) +
          " does not match its check; the store is damaged (orvtsdb verify lists the damage)";
    return false;
  }
  if (rc != SQLITE_DONE) return fail(err);
  if (!add.prepare(db_, "INSERT INTO runs(run) VALUES(?1)", err)) return false;
  add.bind(1, run);
  if (!done(add, err)) return false;
  run_ = sqlite3_last_insert_rowid(db_);
  if (!check.prepare(db_, row_check_update("runs", "id = ?1").c_str(), err)) return false;
  check.bind(1, run_);
  return done(check, err);
}

bool SqliteBackend::begin(const MigrationRecord &m, int64_t *migration_id, std::string &err) {
  if (!lock_for_writing(err)) return false;
  created_.clear();
  in_txn_ = true;
  if (!hold_against_format(err) || !prepare_all(err) || !find_run(m.run, err) ||
      !set_run_labels(db_, run_, m.labels, err))
    return false;
  Stmt s;
  if (!s.prepare(db_,
                 "INSERT INTO migrations(run,run_dir,start_time,started_at) VALUES(?1,?2,?3,?4)",
                 err))
    return false;
  s.bind(1, m.run);
  s.bind(2, m.run_dir);
  s.bind(3, m.start_time);
  s.bind(4, (int64_t)std::time(nullptr));
  if (!done(s, err)) return false;
  migration_ = *migration_id = sqlite3_last_insert_rowid(db_);
  // Where the chunks table's last page stands, read from the file before
  // this transaction changes that table.
  Stmt table;
  if (!table.prepare(db_,
                     "SELECT (SELECT rootpage FROM sqlite_schema WHERE name = 'chunks'), "
                     "(SELECT IFNULL(MAX(rowid), 0) FROM chunks), "
                     "(SELECT page_size FROM pragma_page_size)",
                     err) ||
      table.step() != SQLITE_ROW)
    return fail(err);
  next_rowid_ = table.col_int(1) + 1;
  page_size_ = table.col_int(2);
  fill_.start((size_t)page_size_, last_leaf_free_bytes(db_, table.col_int(0), (size_t)page_size_));
  return true;
}

/* Whether registering `graphs` for group gid leaves the graphs of other
 * runs as they are read. The runs of a store share their groups' graphs,
 * and readers name and decode every run's samples of a graph by its one
 * definition: a name or data type another run holds samples under would
 * rename or misread them. Such a run is refused (err says why). */
bool SqliteBackend::keeps_others_graphs(int64_t gid, const std::string &group,
                                        const std::vector<GraphRecord> &graphs, std::string &err) {
  for (size_t i = 0; i < graphs.size(); i++) {
    find_graph_.bind(1, gid);
    find_graph_.bind(2, (int64_t)i);
    int rc = find_graph_.step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return fail(err);
    bool same = rc == SQLITE_DONE || (find_graph_.col_text(0) == graphs[i].name &&
                                      find_graph_.col_int(1) == graphs[i].data_type);
    std::string name = rc == SQLITE_ROW ? find_graph_.col_text(0) : "";
    int64_t type = rc == SQLITE_ROW ? find_graph_.col_int(1) : 0;
    find_graph_.reset();
    if (same) continue;
    graph_of_others_.bind(1, gid);
    graph_of_others_.bind(2, (int64_t)i);
    graph_of_others_.bind(3, run_);
    rc = graph_of_others_.step();
    int64_t other = rc == SQLITE_ROW ? graph_of_others_.col_int(0) : 0;
    graph_of_others_.reset();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return fail(err);
    if (rc == SQLITE_DONE) continue;  // no other run's samples: this run's to define
    err = "group '" + group + "' graph " + std::to_string(i) + " is '" + name + "' (data type " +
          std::to_string(type) + ") in run #" + std::to_string(other) +
          " of this store, and this run defines it as '" + graphs[i].name + "' (data type " +
          std::to_string(graphs[i].data_type) +
          "); the runs of a store share their graphs, so migrate this run into a store of its "
          "own";
    return false;
  }
  return true;
}

bool SqliteBackend::put_group(const GroupRecord &g, const std::vector<GraphRecord> &graphs,
                              int *gid, std::string &err) {
  find_group_.bind(1, g.name);
  int rc = find_group_.step();
  bool found = rc == SQLITE_ROW;
  int64_t id = found ? find_group_.col_int(0) : 0;
  find_group_.reset();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return fail(err);
  if (found && !keeps_others_graphs(id, g.name, graphs, err)) return false;
  Stmt &w = found ? update_group_ : insert_group_;
  w.bind(1, g.name);
  w.bind(2, g.description);
  w.bind(3, g.metric);
  w.bind(4, g.hierarchy);
  w.bind(5, g.type);
  w.bind(6, g.report_id);
  w.bind(7, g.num_graphs);
  w.bind(8, g.delay);
  if (!done(w, err)) return false;
  if (!found) id = sqlite3_last_insert_rowid(db_);
  // Written anew from the record: its fields are all the definition's.
  check_group_.bind(1, id);
  if (!done(check_group_, err)) return false;
  for (size_t i = 0; i < graphs.size(); i++) {
    const GraphRecord &r = graphs[i];
    put_graph_.bind(1, id);
    put_graph_.bind(2, (int64_t)i);
    put_graph_.bind(3, r.name);
    put_graph_.bind(4, r.description);
    put_graph_.bind(5, r.data_type);
    put_graph_.bind(6, r.formula);
    put_graph_.bind(7, r.state);
    put_graph_.bind(8, r.report_id);
    if (!done(put_graph_, err)) return false;
  }
  *gid = (int)id;
  return true;
}

bool SqliteBackend::put_series(int gid, const std::string &key, const TagList &tags, int64_t now,
                               int64_t *sid, std::string &err) {
  find_series_.bind(1, gid);
  find_series_.bind(2, key);
  find_series_.bind(3, run_);
  int rc = find_series_.step();
  if (rc == SQLITE_ROW) *sid = find_series_.col_int(0);
  find_series_.reset();
  if (rc == SQLITE_ROW) return set_series_end(*sid, -1, err);
  if (rc != SQLITE_DONE) return fail(err);
  insert_series_.bind(1, gid);
  insert_series_.bind(2, key);
  insert_series_.bind(3, now);
  insert_series_.bind(4, run_);
  if (!done(insert_series_, err)) return false;
  *sid = sqlite3_last_insert_rowid(db_);
  checked_sids_.insert(*sid);
  created_[*sid];
  check_series_.bind(1, *sid);
  if (!done(check_series_, err)) return false;
  for (size_t i = 0; i < tags.size(); i++) {
    insert_label_.bind(1, *sid);
    insert_label_.bind(2, (int64_t)i);
    insert_label_.bind(3, tags[i].first);
    insert_label_.bind(4, tags[i].second);
    if (!done(insert_label_, err)) return false;
  }
  return true;
}

bool SqliteBackend::set_series_end(int64_t sid, int64_t when, std::string &err) {
  end_series_.bind(1, sid);
  if (when < 0)
    end_series_.bind_null(2);
  else
    end_series_.bind(2, when);
  if (!done(end_series_, err)) return false;
  if (sqlite3_changes(db_) == 1) return true;
  err = "series " + std::to_string(sid) +
        " does not match its check; the store is damaged (orvtsdb verify lists the damage)";
  return false;
}

bool SqliteBackend::put_chunk(const ChunkRecord &c, std::string &err) {
  ChunkRowShape row = row_of(c);
  note_chunk(row);
  return insert_chunk(row, c.blob, err);
}

/* The chunk's row as this migration writes it, its check included. */
ChunkRowShape SqliteBackend::row_of(const ChunkRecord &c) const {
  int64_t end = c.start_time + (int64_t)(c.count - 1) * c.step;
  return {
      {c.sid, c.graph, c.data_type, c.start_time, c.step, c.count, end, migration_},
      c.blob_len,
      chunk_row_check(c.sid, c.graph, c.data_type, c.start_time, c.step, c.count, end, migration_)};
}

/* Counts a chunk row to its series' facts. */
void SqliteBackend::note_chunk(const ChunkRowShape &row) {
  const int64_t *v = row.ints;  // sid, graph, data_type, start, step, count, end
  written_sids_.insert(v[0]);
  auto it = created_.find(v[0]);
  if (it != created_.end())
    it->second[(int)v[1]].add(v[3], v[6], (int)v[5], (int)v[2], row.row_check);
}

bool SqliteBackend::insert_chunk(const ChunkRowShape &row, const void *blob, std::string &err) {
  for (int i = 0; i < 8; i++) insert_chunk_.bind(i + 1, row.ints[i]);
  insert_chunk_.bind_blob(9, blob, row.blob_len);
  insert_chunk_.bind(10, row.row_check);
  if (!done(insert_chunk_, err)) return false;
  // A cache spill that found the file held gives up quietly and keeps the
  // pages in memory; once the transaction's wait is spent, the migration
  // stops instead of growing and failing at its commit.
  if (busy_expired_) {
    err = busy_reason();
    return false;
  }
  fill_.add(chunk_row_bytes(row, next_rowid_, (size_t)page_size_));
  next_rowid_ = sqlite3_last_insert_rowid(db_) + 1;
  return true;
}

/* The rows go in largest first where they fit in what is left of the last
 * page, and a new page starts with the largest row only when none of them
 * fits: each batch fills the page the one before left, and its own, but
 * for what no row of it could fill. The facts are counted in the batch's
 * own order, series by series, where their lookups stay warm. */
bool SqliteBackend::put_chunks(const ChunkRecord *c, size_t n, std::string &err) {
  by_bytes_.clear();
  rows_.resize(n);
  for (size_t i = 0; i < n; i++) {
    rows_[i] = row_of(c[i]);
    note_chunk(rows_[i]);
    by_bytes_.emplace(chunk_row_bytes(rows_[i], next_rowid_, (size_t)page_size_), i);
  }
  while (!by_bytes_.empty()) {
    auto it = by_bytes_.upper_bound(fill_.left());
    if (it == by_bytes_.begin())
      it = std::prev(by_bytes_.end());
    else
      --it;
    size_t i = it->second;
    by_bytes_.erase(it);
    if (!insert_chunk(rows_[i], c[i].blob, err)) return false;
  }
  return true;
}

/* The facts of every series written, held against its earlier rows before
 * anything of them is replaced: damage found now stops the migration
 * instead of being summed into new facts. */
bool SqliteBackend::check_earlier_facts(const Replacement &r, std::string &err) {
  for (const WrittenSeries &w : r.written) {
    written_sids_.insert(w.sid);
    if (!checked_sids_.insert(w.sid).second) continue;
    std::string differs;
    if (!facts_.compare(w.sid, migration_, &differs, err)) {
      err += "; the store is damaged (orvtsdb verify lists the damage)";
      return false;
    }
    if (!differs.empty()) {
      err = "series " + std::to_string(w.sid) + ", " + differs +
            ": its chunk rows do not agree with their recorded facts; the store is damaged "
            "(orvtsdb verify lists the damage)";
      return false;
    }
  }
  return true;
}

bool SqliteBackend::replace_run_samples(const Replacement &r, std::vector<KeptSeries> *kept,
                                        std::string &err) {
  Remigration re(db_, migration_, run_);
  return check_earlier_facts(r, err) && re.replace(r, kept, err);
}

bool SqliteBackend::commit(const MigrationRecord &m, std::string &err) {
  Stmt s;
  if (!s.prepare(db_,
                 "UPDATE migrations SET end_time=?2,first_sample=?3,last_sample=?4,inserts=?5,"
                 "value_count=?6,finished_at=?7,stored_samples=?8 WHERE id=?1",
                 err))
    return false;
  s.bind(1, migration_);
  s.bind(2, m.end_time);
  if (m.first_sample < 0) {
    s.bind_null(3);
    s.bind_null(4);
  } else {
    s.bind(3, m.first_sample);
    s.bind(4, m.last_sample);
  }
  s.bind(5, m.inserts);
  s.bind(6, m.values);
  s.bind(7, (int64_t)std::time(nullptr));
  s.bind(8, m.stored_samples);
  if (!done(s, err) || !write_facts(err) || !store_run_summary(db_, run_, err)) return false;
  Stmt check;
  if (!check.prepare(db_, row_check_update("migrations", "id = ?1").c_str(), err)) return false;
  check.bind(1, migration_);
  if (!done(check, err)) return false;
  if (!exec_sql(db_, "COMMIT", err)) return fail(err);
  in_txn_ = false;
  return true;
}

/* Writes the facts of every series this migration wrote. Those of the
 * series it created are the sums it kept while inserting, once one count
 * shows that no other row claims them (else, as for every other series,
 * they are gathered from the rows, which finds such a row). */
bool SqliteBackend::write_facts(std::string &err) {
  bool kept_sums = false;
  if (!created_.empty()) {
    int64_t inserted = 0;
    for (const auto &[sid, facts] : created_)
      for (const auto &[graph, f] : facts) inserted += f.chunks;
    Stmt rows;
    if (!rows.prepare(db_, "SELECT count(*) FROM chunks WHERE sid >= ?1", err)) return false;
    rows.bind(1, created_.begin()->first);
    if (rows.step() != SQLITE_ROW) return fail(err);
    kept_sums = rows.col_int(0) == inserted;
  }
  for (int64_t sid : written_sids_) {
    auto it = created_.find(sid);
    bool ok = kept_sums && it != created_.end() ? facts_.write(sid, it->second, err)
                                                : facts_.refresh(sid, migration_, err);
    if (!ok) return false;
  }
  return true;
}

void SqliteBackend::abort() {
  if (!in_txn_) return;
  std::string ignored;
  exec_sql(db_, "ROLLBACK", ignored);
  in_txn_ = false;
}

}  // namespace

std::unique_ptr<StoreBackend> open_sqlite_backend(const StoreLocation &loc, std::string &err) {
  auto b = std::make_unique<SqliteBackend>();
  if (!b->open(loc, err)) return nullptr;
  return b;
}

}  // namespace orvtsdb
