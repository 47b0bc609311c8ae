/*
 * read_connection.cpp - see read_connection.h.
 */
#include "read_connection.h"

#include <strings.h>
#include <sys/stat.h>

#include <iterator>

#include "samples_vtab.h"
#include "store_checks.h"
#include "store_location.h"
#include "store_schema.h"

namespace orvtsdb {

namespace {

/* PRAGMAs a reader may run, with or without an argument: each only reports
 * (the argument names a table, an index or a schema). */
const char *const QUERY_PRAGMAS[] = {
    "collation_list",   "compile_options", "database_list", "foreign_key_check",
    "foreign_key_list", "function_list",   "index_info",    "index_list",
    "index_xinfo",      "integrity_check", "module_list",   "pragma_list",
    "quick_check",      "table_info",      "table_list",    "table_xinfo"};

/* PRAGMAs a reader may run without an argument: read with one, they set. */
const char *const SETTING_PRAGMAS[] = {"application_id", "auto_vacuum",    "cache_size",
                                       "data_version",   "encoding",       "foreign_keys",
                                       "freelist_count", "page_count",     "page_size",
                                       "query_only",     "schema_version", "user_version"};

bool named_in(const char *name, const char *const *first, const char *const *last) {
  for (; name && first != last; ++first)
    if (strcasecmp(name, *first) == 0) return true;
  return false;
}

/* What the authorizer refused last on this thread, for the message. */
thread_local std::string last_refusal;

bool is_store_file(const char *file) {
  struct stat st;
  return file && *file && ::stat(file, &st) == 0 && S_ISREG(st.st_mode);
}

int refuse(const std::string &what) {
  last_refusal = what;
  return SQLITE_DENY;
}

/* The authorizer of a reading connection (see read_connection.h). */
int reader_authorizer(void *, int action, const char *a1, const char *a2, const char *,
                      const char *) {
  switch (action) {
    case SQLITE_SELECT:
    case SQLITE_READ:
    case SQLITE_FUNCTION:
    case SQLITE_RECURSIVE:
    case SQLITE_TRANSACTION:
    case SQLITE_SAVEPOINT:
    case SQLITE_DETACH: return SQLITE_OK;
    case SQLITE_PRAGMA:
      if (named_in(a1, std::begin(QUERY_PRAGMAS), std::end(QUERY_PRAGMAS)) ||
          (!a2 && named_in(a1, std::begin(SETTING_PRAGMAS), std::end(SETTING_PRAGMAS))))
        return SQLITE_OK;
      return refuse(std::string("PRAGMA ") + (a1 ? a1 : "") + (a2 ? std::string(" = ") + a2 : ""));
    case SQLITE_ATTACH:
      if (is_store_file(a1)) return SQLITE_OK;
      return refuse(std::string("ATTACH of '") + (a1 ? a1 : "") +
                    "', which is not an existing store file");
    case SQLITE_INSERT: return refuse(std::string("INSERT into ") + (a1 ? a1 : "?"));
    case SQLITE_UPDATE: return refuse(std::string("UPDATE of ") + (a1 ? a1 : "?"));
    case SQLITE_DELETE: return refuse(std::string("DELETE from ") + (a1 ? a1 : "?"));
    default: return refuse("a statement that changes the schema or the file");
  }
}

/* Makes the store readable on db: checks the tables and the format. */
bool prepare_reading(sqlite3 *db, std::string &err) {
  if (!has_schema(db)) {
    std::string why;
    exec_sql(db, "SELECT 1 FROM chunks LIMIT 0", why);
    err = "not a store (" + why + ")";
    return false;
  }
  if (!check_format(db, err) || !register_check_function(db, err)) return false;
  if (register_samples_table(db) != SQLITE_OK) {
    err = sqlite3_errmsg(db);
    return false;
  }
  return exec_sql(db, "PRAGMA query_only=1", err);
}

/* Lets SQLite roll back a hot journal left by a killed migration: a read on a
 * connection that may write the file does it. A file the user may not write
 * opens read-only here and the read says why when it cannot recover. */
bool recover(const std::string &path, int busy_ms, std::string &err) {
  sqlite3 *db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(db, busy_ms);
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
  }
  if (rc != SQLITE_OK) err = db ? sqlite3_errmsg(db) : "out of memory";
  sqlite3_close(db);
  return rc == SQLITE_OK;
}

}  // namespace

sqlite3 *open_for_reading(const std::string &path, std::string &err) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    err = "no store at " + path;
    return nullptr;
  }
  int ms;
  if (!busy_timeout_from_env(&ms, err)) return nullptr;
  sqlite3 *db = nullptr;
  bool ok = recover(path, ms, err) &&
            sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK;
  if (ok) {
    sqlite3_busy_timeout(db, ms);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    ok = prepare_reading(db, err);
    // Installed last: the checks above run the store's own statements.
    if (ok) sqlite3_set_authorizer(db, reader_authorizer, nullptr);
  } else if (db) {
    err = sqlite3_errmsg(db);
  }
  if (ok) return db;
  err = path + ": " + err;
  sqlite3_close(db);
  return nullptr;
}

std::string take_refusal() {
  std::string what = std::move(last_refusal);
  last_refusal.clear();
  return what;
}

}  // namespace orvtsdb
