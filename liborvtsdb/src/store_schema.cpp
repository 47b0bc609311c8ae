/*
 * store_schema.cpp - table definitions and small SQLite helpers.
 *
 * FORMAT.md describes every table and column, and the chunk blobs.
 */
#include "store_schema.h"

#include <cstdlib>

#include "orvtsdb_data_types.h"
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
  stored_samples INTEGER);
CREATE TABLE IF NOT EXISTS groups(
  gid INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, description TEXT,
  metric TEXT, hierarchy TEXT, type INTEGER, report_id INTEGER,
  num_graphs INTEGER, delay INTEGER);
CREATE TABLE IF NOT EXISTS graphs(
  gid INTEGER NOT NULL, idx INTEGER NOT NULL, name TEXT, description TEXT,
  data_type INTEGER, formula INTEGER, state INTEGER, report_id INTEGER,
  PRIMARY KEY(gid, idx)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS series(
  sid INTEGER PRIMARY KEY, gid INTEGER NOT NULL, labels TEXT NOT NULL,
  created INTEGER, ended INTEGER, UNIQUE(gid, labels));
CREATE TABLE IF NOT EXISTS series_labels(
  sid INTEGER NOT NULL, pos INTEGER NOT NULL, tag TEXT, value TEXT,
  PRIMARY KEY(sid, pos)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS chunks(
  sid INTEGER NOT NULL, graph INTEGER NOT NULL, data_type INTEGER NOT NULL,
  start_time INTEGER NOT NULL, step INTEGER NOT NULL, count INTEGER NOT NULL,
  end_time INTEGER NOT NULL, migration INTEGER NOT NULL, data BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS chunks_by_series ON chunks(sid, graph, start_time);
CREATE TABLE IF NOT EXISTS kept_series(
  migration INTEGER NOT NULL, from_migration INTEGER NOT NULL, sid INTEGER NOT NULL,
  reason TEXT NOT NULL, PRIMARY KEY(migration, from_migration, sid)) WITHOUT ROWID;
)";

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

bool check_format(sqlite3 *db, std::string &err) {
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
  if (format == std::to_string(STORE_FORMAT)) return true;
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
