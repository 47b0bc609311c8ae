/*
 * read_connection.cpp - see read_connection.h.
 */
#include "read_connection.h"

#include <sys/stat.h>

#include "samples_vtab.h"
#include "store_location.h"
#include "store_schema.h"

namespace orvtsdb {

namespace {

/* Makes the store readable on db: recovers a hot journal (by the first read),
 * checks the tables and the format. */
bool prepare_reading(sqlite3 *db, std::string &err) {
  int ms;
  if (!busy_timeout_from_env(&ms, err)) return false;
  sqlite3_busy_timeout(db, ms);
  if (!has_schema(db)) {
    std::string why;
    exec_sql(db, "SELECT 1 FROM chunks LIMIT 0", why);
    err = "not a store (" + why + ")";
    return false;
  }
  if (!check_format(db, err)) return false;
  if (register_samples_table(db) != SQLITE_OK) {
    err = sqlite3_errmsg(db);
    return false;
  }
  return exec_sql(db, "PRAGMA query_only=1", err);
}

}  // namespace

sqlite3 *open_for_reading(const std::string &path, std::string &err) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    err = "no store at " + path;
    return nullptr;
  }
  // Read-write (never create) so that a hot journal can be rolled back; a
  // file the user may not write opens read-only by itself.
  sqlite3 *db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc == SQLITE_OK && prepare_reading(db, err)) return db;
  if (rc != SQLITE_OK) err = db ? sqlite3_errmsg(db) : "out of memory";
  err = path + ": " + err;
  sqlite3_close(db);
  return nullptr;
}

}  // namespace orvtsdb
