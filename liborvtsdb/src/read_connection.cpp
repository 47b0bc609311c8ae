/*
 * read_connection.cpp - see read_connection.h.
 */
#include "read_connection.h"

#include <strings.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <iterator>

#include "samples_vtab.h"
#include "store_checks.h"
#include "store_location.h"
#include "store_reading.h"
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

/* Functions a reader may call: SQLite's core scalar, aggregate, window,
 * date, math and JSON functions, and the store's own row check. Nothing
 * else: no full-text tokenizer (it hands out and takes a code address), no
 * extension loading, nothing that reaches the file system or the process. */
const char *const ALLOWED_FUNCTIONS[] = {
    // core scalar
    "abs", "changes", "char", "coalesce", "concat", "concat_ws", "format", "glob", "hex", "ifnull",
    "iif", "instr", "last_insert_rowid", "length", "like", "likelihood", "likely", "lower", "ltrim",
    "max", "min", "nullif", "octet_length", "printf", "quote", "random", "randomblob", "replace",
    "round", "rtrim", "sign", "soundex", "sqlite_compileoption_get", "sqlite_compileoption_used",
    "sqlite_source_id", "sqlite_version", "substr", "substring", "total_changes", "trim", "typeof",
    "unhex", "unicode", "unlikely", "upper", "zeroblob",
    // aggregate
    "avg", "count", "group_concat", "string_agg", "sum", "total",
    // window
    "row_number", "rank", "dense_rank", "percent_rank", "cume_dist", "ntile", "lag", "lead",
    "first_value", "last_value", "nth_value",
    // date and time
    "date", "time", "datetime", "julianday", "unixepoch", "strftime", "timediff", "current_date",
    "current_time", "current_timestamp",
    // math
    "acos", "acosh", "asin", "asinh", "atan", "atan2", "atanh", "ceil", "ceiling", "cos", "cosh",
    "degrees", "exp", "floor", "ln", "log", "log10", "log2", "mod", "pi", "pow", "power", "radians",
    "sin", "sinh", "sqrt", "tan", "tanh", "trunc",
    // JSON
    "json", "json_array", "json_array_length", "json_extract", "json_group_array",
    "json_group_object", "json_insert", "json_object", "json_patch", "json_quote", "json_remove",
    "json_replace", "json_set", "json_type", "json_valid", "->", "->>",
    // the store's own
    "check_of"};

bool named_in(const char *name, const char *const *first, const char *const *last) {
  for (; name && first != last; ++first)
    if (strcasecmp(name, *first) == 0) return true;
  return false;
}

/* What the authorizer refused last on this thread, for the message. */
thread_local std::string last_refusal;

/* Whether ATTACH of `file` opens that existing file as it is named. A URI
 * ("file:...") is not taken: SQLite reads its options (another VFS, no
 * locks, immutable), which a file of that very name would let through. */
bool is_store_file(const char *file) {
  struct stat st;
  return file && *file && strncasecmp(file, "file:", 5) != 0 && ::stat(file, &st) == 0 &&
         S_ISREG(st.st_mode);
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
    case SQLITE_RECURSIVE:
    case SQLITE_TRANSACTION:
    case SQLITE_SAVEPOINT:
    case SQLITE_DETACH: return SQLITE_OK;
    case SQLITE_FUNCTION:
      if (named_in(a2, std::begin(ALLOWED_FUNCTIONS), std::end(ALLOWED_FUNCTIONS)))
        return SQLITE_OK;
      return refuse(std::string("function ") + (a2 ? a2 : "?") +
                    "(), which is not among the functions a reader may call");
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
    case SQLITE_UPDATE:
      // Asked while a statement is prepared that reads a table-valued
      // function (json_each, pragma_table_info), which SQLite connects as a
      // table in the schema: nothing is written (the connection is read-only
      // and defensive, and a statement that would write is refused whole).
      if (a1 && (strcasecmp(a1, "sqlite_master") == 0 || strcasecmp(a1, "sqlite_temp_master") == 0))
        return SQLITE_OK;
      return refuse(std::string("UPDATE of ") + (a1 ? a1 : "?"));
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
  // Pages are read in place from the kernel's cache rather than copied into
  // SQLite's: a walk of one series visits pages that mostly hold the rows of
  // others, each many times over an export (16x the file on a medium run).
  // A read transaction's lock keeps every writer off the file while pages
  // are read (and SQLite maps the file's size anew at the next one: sql
  // ends the opening snapshot); a file cut short by another program, or a
  // disk error, stops the process with SIGBUS, which the command turns into
  // its failure (Store).
  return exec_sql(db, "PRAGMA mmap_size=2147418112; PRAGMA query_only=1", err);
}

}  // namespace

std::string busy_text() { return "the store is busy (another process holds its lock); try again"; }

namespace {

/* Begins the read transaction that holds one snapshot of the store for the
 * life of the connection: whatever a writer does meanwhile waits for its
 * end, so every check and read sees the same store. */
bool begin_snapshot(sqlite3 *db, std::string &err, bool *journal_left) {
  int rc = sqlite3_exec(db, "BEGIN; SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) return true;
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  *journal_left = (rc & 0xff) == SQLITE_READONLY;
  // A file that is not a database fails here first, as prepare_reading would.
  err = (rc & 0xff) == SQLITE_BUSY ? busy_text()
                                   : std::string("not a store (") + sqlite3_errmsg(db) + ")";
  return false;
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
  if ((rc & 0xff) == SQLITE_BUSY)
    err = busy_text();
  else if (rc != SQLITE_OK)
    err = db ? sqlite3_errmsg(db) : "out of memory";
  sqlite3_close(db);
  // A journal left beside it that could not be rolled back: SQLite's own
  // words ("disk I/O error", "attempt to write a readonly database") do not
  // say that this is the cause.
  struct stat journal;
  if (rc != SQLITE_OK && (rc & 0xff) != SQLITE_BUSY &&
      ::stat((path + "-journal").c_str(), &journal) == 0 && journal.st_size > 0)
    err += " (" + path +
           "-journal, left by an interrupted migration, is to be rolled back first: that needs "
           "write permission on the store and its folder)";
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
  if (!busy_timeout_from_env(&ms, err) || !path_fits_sqlite(path, 0, err)) return nullptr;
  sqlite3 *db = nullptr;
  bool ok = false;
  // A migration killed between the recovery and the snapshot leaves a
  // journal the read-only connection cannot roll back (SQLITE_READONLY):
  // recovered again, a few times, rather than taken for a file that is not
  // a store.
  for (int attempt = 0; !ok && attempt < 3; attempt++) {
    sqlite3_close(db);
    db = nullptr;
    bool journal_left = false;
    // Without the connection's mutex (taken on every call SQLite answers,
    // each cell of each row included): a reading connection is only ever
    // used by the thread that holds it; compare's second thread opens its own.
    ok = recover(path, ms, err) &&
         sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) ==
             SQLITE_OK;
    if (ok) {
      sqlite3_busy_timeout(db, ms);
      sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
      sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
      ok = begin_snapshot(db, err, &journal_left) && prepare_reading(db, err);
      // Installed last: the checks above run the store's own statements.
      if (ok) sqlite3_set_authorizer(db, reader_authorizer, nullptr);
    } else if (db) {
      err = sqlite3_errmsg(db);
    }
    if (!journal_left) break;
  }
  if (ok) return db;
  err = path + ": " + err;
  sqlite3_close(db);
  return nullptr;
}

bool roll_back_left_journal(sqlite3 *db, std::string &err) {
  const char *file = sqlite3_db_filename(db, "main");
  int ms;
  if (!file || !*file || !busy_timeout_from_env(&ms, err)) return false;
  if (recover(file, ms, err)) return true;
  err = std::string(file) + ": " + err;
  return false;
}

std::string take_refusal() {
  std::string what = std::move(last_refusal);
  last_refusal.clear();
  return what;
}

}  // namespace orvtsdb
