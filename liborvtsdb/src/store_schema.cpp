/*
 * store_schema.cpp - table definitions and small SQLite helpers.
 *
 * FORMAT.md describes every table and column, and the chunk blobs.
 */
#include "store_schema.h"

#include <cctype>
#include <cstdlib>
#include <map>

#include "chunk_codec.h"
#include "orvtsdb_data_types.h"
#include "sqlite_stmt.h"
#include "store_checks.h"
#include "store_format.h"

namespace orvtsdb {

namespace {

const char *const SCHEMA_SQL = R"(
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

/* Whether a column of the schema above is in a format 2 store too: all but
 * the checks. */
bool in_format_2(const std::string &column) { return column != "row_check"; }

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

bool exec_sql(sqlite3 *db, const char *sql, std::string &err) {
  char *msg = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
  err = msg ? msg : sqlite3_errmsg(db);
  sqlite3_free(msg);
  return false;
}

bool ensure_schema(sqlite3 *db, std::string &err) {
  std::string record_format = "INSERT OR IGNORE INTO store_info VALUES('format', '" +
                              std::to_string(STORE_FORMAT) + "')";
  return exec_sql(db, SCHEMA_SQL, err) && exec_sql(db, record_format.c_str(), err);
}

bool has_schema(sqlite3 *db) {
  return sqlite3_exec(db, "SELECT 1 FROM chunks LIMIT 0", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool check_format(sqlite3 *db, std::string &err, int *format_out) {
  sqlite3_stmt *s = nullptr;
  std::string format;
  int rc = sqlite3_prepare_v2(db, "SELECT value FROM store_info WHERE key = 'format'", -1, &s,
                              nullptr);
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
  if (format.empty())
    err = "not a store (" + err + ")";
  else if (std::atoi(format.c_str()) > STORE_FORMAT)
    err = "store format " + format + " was written by a newer version; this one reads format " +
          std::to_string(STORE_FORMAT);
  else
    err = "store format " + format +
          " was written by an older version without chunk "
          "checksums; move it away and migrate the run again";
  return false;
}

std::vector<std::string> schema_faults(sqlite3 *db, int format, std::string &err) {
  std::vector<std::string> faults;
  sqlite3 *ref = nullptr;
  if (sqlite3_open_v2(":memory:", &ref, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
      !exec_sql(ref, SCHEMA_SQL, err)) {
    if (err.empty()) err = "out of memory";
    sqlite3_close(ref);
    return faults;
  }
  Stmt t;
  std::map<std::string, bool> tables;  // name: whether this library makes it
  if (t.prepare(ref, "SELECT name FROM sqlite_schema WHERE type = 'table'", err))
    while (next(ref, t, err)) tables[t.col_text(0)] = true;
  if (t.prepare(db, "SELECT name FROM sqlite_schema WHERE type = 'table'", err))
    while (next(db, t, err)) tables.emplace(t.col_text(0), false);
  for (const auto &[table, ours] : tables) {
    if (!err.empty()) break;
    TableShape want, have;
    if (!shape_of(ref, "main", table, want, err) || !shape_of(db, "main", table, have, err)) break;
    if (!ours) {
      faults.push_back("table " + table + " is not one of the store's");
      continue;
    }
    if (have.columns.empty()) {
      // kept_series came later in format 2: its absence means nothing kept.
      if (format == STORE_FORMAT || (table != "series_facts" && table != "kept_series"))
        faults.push_back("table " + table + " is missing");
      continue;
    }
    for (const auto &[col, type] : want.columns) {
      if (format != STORE_FORMAT && !in_format_2(col)) continue;
      auto it = have.columns.find(col);
      if (it == have.columns.end())
        faults.push_back("table " + table + " lacks column " + col);
      else if (it->second != type)
        faults.push_back("column " + table + "." + col + " is " + it->second + ", not " + type);
    }
    for (const auto &[col, type] : have.columns)
      if (!want.columns.count(col))
        faults.push_back("table " + table + " has a column " + col + " of no store");
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
  sqlite3_close(ref);
  return faults;
}

bool upgrade_store(sqlite3 *db, std::string &err) {
  // The checks go last in every table, as ALTER TABLE puts them.
  for (const CheckedTable &t : checked_tables()) {
    TableShape have;
    if (!shape_of(db, "main", t.name, have, err)) return false;
    if (have.columns.count("row_check")) continue;
    std::string add = std::string("ALTER TABLE ") + t.name + " ADD COLUMN row_check INTEGER";
    if (!exec_sql(db, add.c_str(), err)) return false;
  }
  // Facts are only worth what the rows they sum are: every chunk is read
  // before it is counted.
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
  if (!err.empty()) return false;
  for (const CheckedTable &t : checked_tables()) {
    std::string set = std::string("UPDATE ") + t.name + " SET row_check = " + t.check();
    if (!exec_sql(db, set.c_str(), err)) return false;
  }
  FactsKeeper facts;
  Stmt sids;
  if (!facts.prepare(db, err) || !sids.prepare(db, "SELECT DISTINCT sid FROM chunks", err))
    return false;
  while (next(db, sids, err))
    if (!facts.refresh(sids.col_int(0), -1, err)) return false;
  std::string record = "UPDATE store_info SET value = '" + std::to_string(STORE_FORMAT) +
                       "' WHERE key = 'format'";
  return err.empty() && exec_sql(db, record.c_str(), err);
}

int role_count(int data_type) {
  const orv_data_type_t *t = orv_data_type(data_type);
  return t ? t->elements : 0;
}

const char *role_name(int data_type, int role) {
  const orv_data_type_t *t = orv_data_type(data_type);
  if (!t || role < 0 || role >= t->elements) return "value";
  const char *name = ORV_FAMILY_ROLES[t->family][role];
  return name ? name : "value";
}

}  // namespace orvtsdb
