/*
 * store_schema.cpp - table definitions and small SQLite helpers.
 *
 * FORMAT.md describes every table and column, and the chunk blobs.
 */
#include "store_schema.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include "chunk_codec.h"
#include "orvtsdb_data_types.h"
#include "sqlite_stmt.h"
#include "store_checks.h"
#include "store_format.h"

namespace orvtsdb {

namespace {

/* The tables of the current format. CREATE ... IF NOT EXISTS: run on an
 * older store, it adds the tables that store lacks and leaves the others as
 * they are (the upgrade below changes those). */
const char *const SCHEMA_SQL = R"(
CREATE TABLE IF NOT EXISTS store_info(key TEXT PRIMARY KEY, value TEXT, row_check INTEGER);
CREATE TABLE IF NOT EXISTS runs(
  id INTEGER PRIMARY KEY, run TEXT NOT NULL UNIQUE, row_check INTEGER);
CREATE TABLE IF NOT EXISTS run_labels(
  run INTEGER NOT NULL, tag TEXT NOT NULL, value TEXT NOT NULL, row_check INTEGER,
  PRIMARY KEY(run, tag)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS migrations(
  id INTEGER PRIMARY KEY, run TEXT NOT NULL, run_dir TEXT,
  start_time INTEGER, end_time INTEGER,
  first_sample INTEGER, last_sample INTEGER,
  inserts INTEGER, value_count INTEGER,
  started_at INTEGER, finished_at INTEGER,
  stored_samples INTEGER, row_check INTEGER);
CREATE TABLE IF NOT EXISTS groups(
  gid INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, description TEXT,
  metric TEXT, hierarchy TEXT, type INTEGER, report_id INTEGER,
  num_graphs INTEGER, delay INTEGER, row_check INTEGER);
CREATE TABLE IF NOT EXISTS graphs(
  gid INTEGER NOT NULL, idx INTEGER NOT NULL, name TEXT, description TEXT,
  data_type INTEGER, formula INTEGER, state INTEGER, report_id INTEGER, row_check INTEGER,
  PRIMARY KEY(gid, idx)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS series(
  sid INTEGER PRIMARY KEY, run INTEGER NOT NULL, gid INTEGER NOT NULL, labels TEXT NOT NULL,
  created INTEGER, ended INTEGER, row_check INTEGER, UNIQUE(run, gid, labels));
CREATE TABLE IF NOT EXISTS series_labels(
  sid INTEGER NOT NULL, pos INTEGER NOT NULL, tag TEXT, value TEXT, row_check INTEGER,
  PRIMARY KEY(sid, pos)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS chunks(
  sid INTEGER NOT NULL, graph INTEGER NOT NULL, data_type INTEGER NOT NULL,
  start_time INTEGER NOT NULL, step INTEGER NOT NULL, count INTEGER NOT NULL,
  end_time INTEGER NOT NULL, migration INTEGER NOT NULL, data BLOB NOT NULL,
  row_check INTEGER);
CREATE INDEX IF NOT EXISTS chunks_by_series ON chunks(sid, graph, start_time);
CREATE TABLE IF NOT EXISTS kept_series(
  migration INTEGER NOT NULL, from_migration INTEGER NOT NULL, sid INTEGER NOT NULL,
  reason TEXT NOT NULL, row_check INTEGER,
  PRIMARY KEY(migration, from_migration, sid)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS series_facts(
  sid INTEGER NOT NULL, graph INTEGER NOT NULL, chunks INTEGER NOT NULL,
  first_time INTEGER NOT NULL, last_time INTEGER NOT NULL, samples INTEGER NOT NULL,
  value_count INTEGER NOT NULL, rows_sum INTEGER NOT NULL, row_check INTEGER,
  PRIMARY KEY(sid, graph)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS run_summaries(
  run INTEGER NOT NULL, series TEXT NOT NULL, metric TEXT NOT NULL,
  value REAL NOT NULL, weight REAL NOT NULL, batches BLOB NOT NULL, row_check INTEGER,
  PRIMARY KEY(run, series, metric)) WITHOUT ROWID;
)";

/* The tables of formats 2 and 3, for holding an older store against the
 * shape it claims (format 2: the same without the checks and facts). */
const char *const FORMAT_3_SQL = R"(
CREATE TABLE IF NOT EXISTS store_info(key TEXT PRIMARY KEY, value TEXT);
CREATE TABLE IF NOT EXISTS migrations(
  id INTEGER PRIMARY KEY, run TEXT NOT NULL, run_dir TEXT,
  start_time INTEGER, end_time INTEGER,
  first_sample INTEGER, last_sample INTEGER,
  inserts INTEGER, value_count INTEGER,
  started_at INTEGER, finished_at INTEGER,
  stored_samples INTEGER, row_check INTEGER);
CREATE TABLE IF NOT EXISTS groups(
  gid INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, description TEXT,
  metric TEXT, hierarchy TEXT, type INTEGER, report_id INTEGER,
  num_graphs INTEGER, delay INTEGER, row_check INTEGER);
CREATE TABLE IF NOT EXISTS graphs(
  gid INTEGER NOT NULL, idx INTEGER NOT NULL, name TEXT, description TEXT,
  data_type INTEGER, formula INTEGER, state INTEGER, report_id INTEGER, row_check INTEGER,
  PRIMARY KEY(gid, idx)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS series(
  sid INTEGER PRIMARY KEY, gid INTEGER NOT NULL, labels TEXT NOT NULL,
  created INTEGER, ended INTEGER, row_check INTEGER, UNIQUE(gid, labels));
CREATE TABLE IF NOT EXISTS series_labels(
  sid INTEGER NOT NULL, pos INTEGER NOT NULL, tag TEXT, value TEXT, row_check INTEGER,
  PRIMARY KEY(sid, pos)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS chunks(
  sid INTEGER NOT NULL, graph INTEGER NOT NULL, data_type INTEGER NOT NULL,
  start_time INTEGER NOT NULL, step INTEGER NOT NULL, count INTEGER NOT NULL,
  end_time INTEGER NOT NULL, migration INTEGER NOT NULL, data BLOB NOT NULL,
  row_check INTEGER);
CREATE INDEX IF NOT EXISTS chunks_by_series ON chunks(sid, graph, start_time);
CREATE TABLE IF NOT EXISTS kept_series(
  migration INTEGER NOT NULL, from_migration INTEGER NOT NULL, sid INTEGER NOT NULL,
  reason TEXT NOT NULL, row_check INTEGER,
  PRIMARY KEY(migration, from_migration, sid)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS series_facts(
  sid INTEGER NOT NULL, graph INTEGER NOT NULL, chunks INTEGER NOT NULL,
  first_time INTEGER NOT NULL, last_time INTEGER NOT NULL, samples INTEGER NOT NULL,
  value_count INTEGER NOT NULL, rows_sum INTEGER NOT NULL, row_check INTEGER,
  PRIMARY KEY(sid, graph)) WITHOUT ROWID;
)";

/* Steps s to its next row: true on a row, false at the end or on an error
 * (err set). */
bool next(sqlite3 *db, Stmt &s, std::string &err) {
  int rc = s.step();
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) err = sqlite3_errmsg(db);
  return false;
}

/* "type notnull pk" of every column of table in db, by column name; the
 * indexes as "unique: columns", by index name (automatic ones by their
 * columns). */
struct TableShape {
  std::map<std::string, std::string> columns, indexes;
};

/* name as a quoted SQL identifier. */
std::string quoted(const std::string &name) {
  std::string q = "\"";
  for (char c : name) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

/* PRAGMA statements, not the pragma_* table functions: a reading
 * connection's authorizer lets only the statements through. */
bool shape_of(sqlite3 *db, const std::string &schema, const std::string &table, TableShape &out,
              std::string &err) {
  Stmt c, il, ii;
  std::string in = quoted(schema) + ".";
  if (!c.prepare(db, ("PRAGMA " + in + "table_info(" + quoted(table) + ")").c_str(), err) ||
      !il.prepare(db, ("PRAGMA " + in + "index_list(" + quoted(table) + ")").c_str(), err))
    return false;
  while (next(db, c, err)) {
    std::string type = c.col_text(2);
    for (char &ch : type) ch = (char)std::toupper((unsigned char)ch);
    out.columns[c.col_text(1)] = type + (c.col_int(3) ? " NOT NULL" : "") +
                                 (c.col_int(5) ? " KEY" : "");
  }
  std::vector<std::pair<std::string, std::string>> indexes;  // name, origin
  while (err.empty() && next(db, il, err)) {
    indexes.emplace_back(il.col_text(1), il.col_text(3));
    out.indexes[il.col_text(1)] = il.col_int(2) ? "unique" : "";
  }
  std::map<std::string, std::string> named;
  for (const auto &[name, origin] : indexes) {
    if (!err.empty() ||
        !ii.prepare(db, ("PRAGMA " + in + "index_info(" + quoted(name) + ")").c_str(), err))
      break;
    std::string cols;
    while (next(db, ii, err)) cols += (cols.empty() ? "" : ",") + ii.col_text(2);
    // Automatic indexes are known by what they index, not by their name.
    named[(origin == "c" ? name : "(" + origin + ")") + " on " + cols] = out.indexes[name];
  }
  out.indexes = std::move(named);
  return err.empty();
}

}  // namespace

std::string failure_text(sqlite3 *db) {
  std::string msg = sqlite3_errmsg(db);
  int code = sqlite3_extended_errcode(db) & 0xff, sys = sqlite3_system_errno(db);
  if (code == SQLITE_FULL || sys == ENOSPC || sys == EDQUOT)
    return "the disk is full (" + msg + ")";
  if (code == SQLITE_IOERR)
    return std::string("the file cannot be written: ") +
           (sys ? std::strerror(sys) : "input/output error") + " (" + msg + ")";
  return msg;
}

bool exec_sql(sqlite3 *db, const char *sql, std::string &err) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  err = failure_text(db);
  return false;
}

bool ensure_schema(sqlite3 *db, std::string &err) {
  std::string f = std::to_string(STORE_FORMAT);
  std::string record_format = "INSERT OR IGNORE INTO store_info VALUES('format', '" + f +
                              "', check_of('store_info', "
                              "'format', '" +
                              f + "'))";
  return exec_sql(db, SCHEMA_SQL, err) && exec_sql(db, record_format.c_str(), err);
}

bool add_later_tables(sqlite3 *db, std::string &err) { return exec_sql(db, SCHEMA_SQL, err); }

bool has_table(sqlite3 *db, const char *name) {
  sqlite3_stmt *s = nullptr;
  bool yes = sqlite3_prepare_v2(db,
                                "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1",
                                -1, &s, nullptr) == SQLITE_OK &&
             sqlite3_bind_text(s, 1, name, -1, SQLITE_STATIC) == SQLITE_OK &&
             sqlite3_step(s) == SQLITE_ROW;
  sqlite3_finalize(s);
  return yes;
}

bool has_schema(sqlite3 *db) {
  return sqlite3_exec(db, "SELECT 1 FROM chunks LIMIT 0", nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::string quoted_identifier(const std::string &name) {
  std::string q = "\"";
  for (char c : name) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

bool check_format(sqlite3 *db, std::string &err, int *format_out, const std::string &schema) {
  sqlite3_stmt *s = nullptr;
  std::string format;
  int rc = sqlite3_prepare_v2(
      db,
      ("SELECT value FROM " + quoted_identifier(schema) + ".store_info WHERE key = 'format'")
          .c_str(),
      -1, &s, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(s);
  if (rc == SQLITE_ROW && sqlite3_column_text(s, 0))
    format = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
  else
    err = rc == SQLITE_DONE || rc == SQLITE_ROW ? "no format recorded" : sqlite3_errmsg(db);
  sqlite3_finalize(s);
  for (int f = OLDEST_READ_STORE_FORMAT; f <= STORE_FORMAT; f++)
    if (format == std::to_string(f)) {
      if (format_out) *format_out = f;
      return true;
    }
  bool number = !format.empty() && format.size() < 10 && format[0] != '0' &&
                format.find_first_not_of("0123456789") == std::string::npos;
  if (format.empty())
    err = "not a store (" + err + ")";
  else if (number && std::atoi(format.c_str()) > STORE_FORMAT)
    err = "store format " + format + " was written by a newer version; this one reads format " +
          std::to_string(STORE_FORMAT);
  else if (number)
    err = "store format " + format +
          " was written by an older version without chunk "
          "checksums; move it away and migrate the run again";
  else
    err = "the store is damaged: its format row holds '" + format +
          "', which names no store format (orvtsdb verify lists the damage)";
  return false;
}

namespace {

/* An in-memory database holding the tables of sql; null (err set) when it
 * cannot be made. */
sqlite3 *reference_tables(const char *sql, std::string &err) {
  sqlite3 *ref = nullptr;
  if (sqlite3_open_v2(":memory:", &ref, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
      exec_sql(ref, sql, err))
    return ref;
  if (err.empty()) err = "out of memory";
  sqlite3_close(ref);
  return nullptr;
}

/* The names of the tables of db. */
std::map<std::string, bool> table_names(sqlite3 *db, std::string &err) {
  std::map<std::string, bool> out;
  Stmt t;
  if (t.prepare(db, "SELECT name FROM sqlite_schema WHERE type = 'table'", err))
    while (next(db, t, err)) out[t.col_text(0)] = true;
  return out;
}

/* Chunk blobs of a newer format than a store of `format` can hold: the
 * byte 0 of every blob of a format 2 store is 2 (format 3 came with blob
 * format 3, and every later blob format is read by its byte 0). */
void newer_blobs(sqlite3 *db, int format, std::vector<std::string> &faults, std::string &err) {
  if (format >= FIRST_CHECKED_STORE_FORMAT || !err.empty()) return;
  Stmt s;
  if (s.prepare(db,
                "SELECT rowid, hex(substr(data, 1, 1)) FROM chunks "
                "WHERE substr(data, 1, 1) > x'02' LIMIT 1",
                err) &&
      next(db, s, err))
    faults.push_back("chunk " + std::to_string(s.col_int(0)) + " holds a blob of format 0x" +
                     s.col_text(1) + ", newer than the store format " + std::to_string(format) +
                     " its store_info claims");
}

}  // namespace

std::vector<std::string> schema_faults(sqlite3 *db, int format, std::string &err) {
  std::vector<std::string> faults;
  sqlite3 *ref = reference_tables(format >= STORE_FORMAT ? SCHEMA_SQL : FORMAT_3_SQL, err);
  sqlite3 *now = ref ? reference_tables(SCHEMA_SQL, err) : nullptr;
  if (!now) {
    sqlite3_close(ref);
    return faults;
  }
  bool checked = format >= FIRST_CHECKED_STORE_FORMAT;
  std::map<std::string, bool> tables = table_names(ref, err);  // name: whether `format` has it
  if (!checked) tables.erase("series_facts");
  std::map<std::string, bool> current = table_names(now, err);
  for (const auto &[name, ours] : table_names(db, err)) tables.emplace(name, false);
  std::string claimed = ", newer than the store format " + std::to_string(format) +
                        " its store_info claims";
  for (const auto &[table, ours] : tables) {
    if (!err.empty()) break;
    TableShape want, have, latest;
    if (!shape_of(ref, "main", table, want, err) || !shape_of(db, "main", table, have, err) ||
        !shape_of(now, "main", table, latest, err))
      break;
    if (!ours) {
      faults.push_back("table " + table +
                       (current.count(table) ? " is of a store format" + claimed
                                             : " is not one of the store's"));
      continue;
    }
    if (have.columns.empty()) {
      // kept_series came later in format 2: its absence means nothing kept;
      // run_summaries came later in format 4: its absence means no run is
      // summarised.
      if (table != "run_summaries" && (checked || table != "kept_series"))
        faults.push_back("table " + table + " is missing");
      continue;
    }
    if (!checked) want.columns.erase("row_check");
    for (const auto &[col, type] : want.columns) {
      auto it = have.columns.find(col);
      if (it == have.columns.end())
        faults.push_back("table " + table + " lacks column " + col);
      else if (it->second != type)
        faults.push_back("column " + table + "." + col + " is " + it->second + ", not " + type);
    }
    for (const auto &[col, type] : have.columns)
      if (!want.columns.count(col))
        faults.push_back(
            "table " + table + " has a column " + col +
            (latest.columns.count(col) ? " of a store format" + claimed : " of no store"));
    for (const auto &[index, kind] : want.indexes) {
      auto it = have.indexes.find(index);
      if (it == have.indexes.end())
        faults.push_back("table " + table + " lacks index " + index);
      else if (it->second != kind)
        faults.push_back("index " + index + " of " + table + " is not " + kind);
    }
    for (const auto &[index, kind] : have.indexes)
      if (!want.indexes.count(index))
        faults.push_back("table " + table + " has an index " + index + " of no store");
  }
  Stmt o;
  if (err.empty() &&
      o.prepare(db, "SELECT type, name FROM sqlite_schema WHERE type IN ('view', 'trigger')", err))
    while (next(db, o, err))
      faults.push_back(o.col_text(0) + " " + o.col_text(1) + " is not one of the store's");
  newer_blobs(db, format, faults, err);
  sqlite3_close(ref);
  sqlite3_close(now);
  return faults;
}

namespace {

/* Format 2 to 3: every chunk read (a damaged one stops the upgrade) before
 * anything is counted from it. */
bool read_every_chunk(sqlite3 *db, std::string &err) {
  Stmt c;
  if (!c.prepare(db,
                 "SELECT rowid, sid, graph, data_type, start_time, step, count, end_time, data "
                 "FROM chunks",
                 err))
    return false;
  ChunkDecoder dec;
  while (next(db, c, err)) {
    std::string why;
    int64_t start = c.col_int(4), step = c.col_int(5), count = c.col_int(6);
    if (!dec.decode(chunk_seed(c.col_int(1), c.col_int(2), c.col_int(3), start, step),
                    c.col_blob(8), c.col_bytes(8), why))
      ;
    else if (dec.count() != count)
      why = "the row says " + std::to_string(count) + " samples";
    else if (step <= 0 || c.col_int(7) != start + (count - 1) * step)
      why = "end time does not fit";
    if (!why.empty()) {
      err = "chunk " + std::to_string(c.col_int(0)) + " of series " + std::to_string(c.col_int(1)) +
            ", graph " + std::to_string(c.col_int(2)) + ": " + why +
            "; a damaged store is not upgraded (orvtsdb verify lists the damage)";
      return false;
    }
  }
  return err.empty();
}

/* Format 3 to 4: the runs table from the migrations, and every series
 * rebuilt with the run whose migrations wrote it (the first such run; a
 * series without chunks goes to the store's first run). */
bool give_series_their_runs(sqlite3 *db, std::string &err) {
  return exec_sql(db,
                  "INSERT INTO runs(run) SELECT run FROM migrations GROUP BY run ORDER BY min(id);"
                  "CREATE TABLE series_of_runs("
                  "  sid INTEGER PRIMARY KEY, run INTEGER NOT NULL, gid INTEGER NOT NULL,"
                  "  labels TEXT NOT NULL, created INTEGER, ended INTEGER, row_check INTEGER,"
                  "  UNIQUE(run, gid, labels));"
                  "INSERT INTO series_of_runs(sid, run, gid, labels, created, ended) "
                  "SELECT s.sid, IFNULL((SELECT r.id FROM chunks c JOIN migrations m "
                  "  ON m.id = c.migration JOIN runs r ON r.run = m.run WHERE c.sid = s.sid "
                  "  ORDER BY c.migration LIMIT 1), (SELECT min(id) FROM runs)), "
                  "s.gid, s.labels, s.created, s.ended FROM series s;"
                  "DROP TABLE series;"
                  "ALTER TABLE series_of_runs RENAME TO series;",
                  err);
}

/* Moves the chunks of series sid written by the migrations of run `run`
 * to a new series of that run (same group and labels): an older store kept
 * two runs' samples of one series apart only by their times. Each blob is
 * written again, as its check is bound to its series. The new series' id
 * goes to *moved_to. */
bool split_series(sqlite3 *db, int64_t sid, int64_t run, int64_t *moved_to, std::string &err) {
  Stmt add, rows, put;
  if (!add.prepare(db,
                   "INSERT INTO series(run, gid, labels, created, ended) "
                   "SELECT ?2, gid, labels, created, ended FROM series WHERE sid = ?1",
                   err))
    return false;
  add.bind(1, sid);
  add.bind(2, run);
  if (add.step() != SQLITE_DONE) return err = sqlite3_errmsg(db), false;
  int64_t to = *moved_to = sqlite3_last_insert_rowid(db);
  std::string copy = "INSERT INTO series_labels(sid, pos, tag, value) SELECT " +
                     std::to_string(to) +
                     ", pos, tag, value FROM series_labels WHERE sid = " + std::to_string(sid);
  if (!exec_sql(db, copy.c_str(), err) ||
      !rows.prepare(db,
                    "SELECT c.rowid, c.graph, c.data_type, c.start_time, c.step, c.data "
                    "FROM chunks c JOIN migrations m ON m.id = c.migration "
                    "JOIN runs r ON r.run = m.run WHERE c.sid = ?1 AND r.id = ?2",
                    err) ||
      !put.prepare(db, "UPDATE chunks SET sid = ?2, data = ?3 WHERE rowid = ?1", err))
    return false;
  rows.bind(1, sid);
  rows.bind(2, run);
  ChunkDecoder dec;
  ChunkEncoder enc;
  while (next(db, rows, err)) {
    int64_t graph = rows.col_int(1), type = rows.col_int(2), start = rows.col_int(3),
            step = rows.col_int(4);
    if (!dec.decode(chunk_seed(sid, graph, type, start, step), rows.col_blob(5), rows.col_bytes(5),
                    err) ||
        !enc.encode(chunk_seed(to, graph, type, start, step), dec.values(), 1, (size_t)dec.count(),
                    dec.roles(), dec.count(), err)) {
      err = "chunk " + std::to_string(rows.col_int(0)) + " of series " + std::to_string(sid) +
            ": " + err + "; a damaged store is not upgraded (orvtsdb verify lists the damage)";
      return false;
    }
    put.bind(1, rows.col_int(0));
    put.bind(2, to);
    put.bind_blob(3, enc.data(), enc.size());
    if (put.step() != SQLITE_DONE) return err = sqlite3_errmsg(db), false;
    put.reset();
  }
  return err.empty();
}

/* The series that hold chunks of more than one run, each with the runs
 * other than its own. */
bool split_shared_series(sqlite3 *db, std::vector<int64_t> *split, std::string &err) {
  Stmt s;
  if (!s.prepare(db,
                 "SELECT DISTINCT c.sid, r.id FROM chunks c JOIN migrations m "
                 "ON m.id = c.migration JOIN runs r ON r.run = m.run JOIN series se "
                 "ON se.sid = c.sid WHERE r.id <> se.run",
                 err))
    return false;
  std::vector<std::pair<int64_t, int64_t>> moves;
  while (next(db, s, err)) moves.emplace_back(s.col_int(0), s.col_int(1));
  if (!err.empty()) return false;
  for (const auto &[sid, run] : moves) {
    int64_t to = 0;
    if (!split_series(db, sid, run, &to, err)) return false;
    split->push_back(sid);
    split->push_back(to);
  }
  return true;
}

}  // namespace

bool upgrade_store(sqlite3 *db, int format, std::string &err) {
  bool checked = format >= FIRST_CHECKED_STORE_FORMAT;
  // The tables the older store lacks; the checks go last in every table, as
  // ALTER TABLE puts them.
  if (!exec_sql(db, SCHEMA_SQL, err)) return false;
  for (const CheckedTable &t : checked_tables()) {
    TableShape have;
    if (!shape_of(db, "main", t.name, have, err)) return false;
    if (have.columns.count("row_check")) continue;
    std::string add = std::string("ALTER TABLE ") + t.name + " ADD COLUMN row_check INTEGER";
    if (!exec_sql(db, add.c_str(), err)) return false;
  }
  // Facts are only worth what the rows they sum are.
  if (!checked && !read_every_chunk(db, err)) return false;
  std::vector<int64_t> split;
  if (!give_series_their_runs(db, err) || !split_shared_series(db, &split, err)) return false;
  std::string record = "UPDATE store_info SET value = '" + std::to_string(STORE_FORMAT) +
                       "' WHERE key = 'format'";
  if (!exec_sql(db, record.c_str(), err)) return false;
  // Checks: of every row from format 2; from format 3 those of the rows
  // that are new or changed (the chunks moved with their series among them).
  for (const CheckedTable &t : checked_tables()) {
    std::string table = t.name;
    bool changed = t.since > FIRST_CHECKED_STORE_FORMAT || table == "series" ||
                   table == "series_labels" || table == "chunks";
    if (checked && !changed) continue;
    std::string set = "UPDATE " + table + " SET row_check = " + t.check();
    if (checked && table == "series_labels") set += " WHERE row_check IS NULL";
    if (checked && table == "chunks") {
      if (split.empty()) continue;
      set += " WHERE sid IN (";
      for (size_t i = 1; i < split.size(); i += 2)
        set += (i > 1 ? "," : "") + std::to_string(split[i]);
      set += ")";
    }
    if (!exec_sql(db, set.c_str(), err)) return false;
  }
  FactsKeeper facts;
  if (!facts.prepare(db, err)) return false;
  if (checked) {
    for (int64_t sid : split)
      if (!facts.refresh(sid, -1, err)) return false;
    return true;
  }
  Stmt sids;
  if (!sids.prepare(db, "SELECT DISTINCT sid FROM chunks", err)) return false;
  while (next(db, sids, err))
    if (!facts.refresh(sids.col_int(0), -1, err)) return false;
  return err.empty();
}

}  // namespace orvtsdb
